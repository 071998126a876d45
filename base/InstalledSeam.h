// The slot of a process-wide seam: the system's implementation of `Interface`
// unless a test has installed another. The system's instance is made on first
// use and lives until the module unloads; an installed one is the installer's
// to keep alive until it is replaced and nothing calls through it any more.
#pragma once

#include <atomic>

template <class Interface>
class InstalledSeam {
public:
    static Interface& Current()
    {
        static Interface system;
        Interface* installed = installed_.load();
        return installed ? *installed : system;
    }
    // Null gives the system's implementation back.
    static void Install(Interface* replacement) { installed_.store(replacement); }

private:
    static inline std::atomic<Interface*> installed_{nullptr};
};
