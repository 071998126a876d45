// The host-facing interface of a client. The host gets it from RuxUIClientNew
// and reaches the client only through it. Slot order is part of the contract
// with the host: StartWorker, SetSession, Perform, Destroy; no destructor.
#pragma once

#include <cstdint>

class OLVRuxUIPlugin {
public:
    virtual void StartWorker() = 0;
    virtual void SetSession(int32_t sessionId) = 0;
    virtual int32_t Perform() = 0;
    // Destroys the client; the interface pointer is dead afterwards.
    virtual void Destroy() = 0;

protected:
    OLVRuxUIPlugin() = default;
    OLVRuxUIPlugin(const OLVRuxUIPlugin&) = default;
    OLVRuxUIPlugin& operator=(const OLVRuxUIPlugin&) = default;
    ~OLVRuxUIPlugin() = default;
};
