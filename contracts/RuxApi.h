// The messaging library Rux.dll as the plug-in calls it. Handles and items are
// opaque pointers; null means failure. Every call has C linkage.
#pragma once

#include <windows.h>

#include <cstdint>

#ifdef RUX_BUILDING_DLL
#define RUX_API extern "C" __declspec(dllexport)
#else
#define RUX_API extern "C" __declspec(dllimport)
#endif

typedef struct RuxItemObject* RuxItem;
typedef struct RuxSinkObject* RuxSink;
typedef struct RuxServiceObject* RuxService;
typedef struct RuxConnectionObject* RuxConnection;

typedef void (*RuxTraceProcFn)(const char* line);

// Item type codes of RuxGetType.
enum RuxType : int32_t {
    RuxType_Blob = 2,
    RuxType_Bool = 3,
    RuxType_String = 9,
    RuxType_Assoc = 14,
};

// Results of RuxPopCall.
enum RuxResult : int32_t {
    RuxResult_Call = 6,
    RuxResult_Query = 7,
    RuxResult_Empty = 9,
};

RUX_API int32_t RuxInit(void);
RUX_API int32_t RuxExit(void);
// Installs the callback that receives one narrow line per notable event of the
// library; null removes it.
RUX_API void RuxSetTraceProc(RuxTraceProcFn proc);

// Starts the named sink of this process; the library sets `event` when a peer
// connects to it. Null when the name is taken (also by another process).
RUX_API RuxSink RuxStartSink(const char* name, HANDLE event);
// Starts a service inside a sink; the library sets `event` when calls are queued.
RUX_API RuxService RuxStartService(RuxSink sink, const char* name, HANDLE event);
RUX_API void RuxStopService(RuxService service);  // null allowed
RUX_API void RuxStopSink(RuxSink sink);           // null allowed

// A lasting connection from `sink` to the sink named `peerName`; opening it
// signals that sink's event.
RUX_API RuxConnection RuxOpenPeer(RuxSink sink, const char* peerName);
// Reopens a broken or null peer and replaces *peer. Non-zero when *peer is usable.
RUX_API int32_t RuxEnsurePeer(RuxSink sink, const char* peerName, RuxConnection* peer);

RUX_API RuxConnection RuxOpenConnection(const char* sinkName);
RUX_API RuxService RuxOpenService(RuxConnection connection, const char* serviceName);
RUX_API void RuxCloseService(RuxService service);
RUX_API void RuxCloseConnection(RuxConnection connection);  // null allowed

// Takes the next queued message of a started service: RuxResult_Call,
// RuxResult_Query, RuxResult_Empty (queue empty), or a library code for other
// kinds. The popped item stays owned by the library: the caller never releases
// it nor its "proc", "service", "source" and "cookie" members.
RUX_API int32_t RuxPopCall(RuxService service, RuxItem* call);

// Accessors. Each returns 0 on success and leaves its out-parameter untouched on
// failure. Items that RuxGetAssoc, RuxGetNthKey and RuxGetAt hand out are
// released by the caller with RuxReleaseItem (releasing one that belongs to a
// popped call is harmless).
RUX_API int32_t RuxGetAssoc(RuxItem item, const char* key, RuxItem* member);
RUX_API int32_t RuxGetType(RuxItem item, int32_t* type);
RUX_API int32_t RuxGetLen(RuxItem item, uint16_t* length);
RUX_API int32_t RuxGetNthKey(RuxItem item, uint16_t index, RuxItem* key);
RUX_API int32_t RuxGetAt(RuxItem item, RuxItem key, RuxItem* value);
RUX_API int32_t RuxGetBool(RuxItem item, int32_t* value);
// Copies a string item from `offset` into `buffer` of `size` bytes, terminated.
RUX_API int32_t RuxCopyStr(RuxItem item, char* buffer, uint32_t offset, uint32_t size);
// Copies a blob item into `buffer` (at most `capacity` bytes); *length receives
// the bytes copied. The caller terminates the text itself.
RUX_API int32_t RuxCopyBlob(RuxItem item, void* buffer, uint16_t* length, uint16_t capacity);

// Builds an item from a format: "{s:i, s:b}" is an associative item of
// key:value pairs, "s" a bare string; `s` takes const char*, `i` int32_t, `b`
// int32_t read as a boolean; blanks are ignored. Null on a bad format.
RUX_API RuxItem RuxBuildItem(const char* format, ...);
RUX_API void RuxReleaseItem(RuxItem item);

// Messages on an opened service. Non-zero = delivered (RuxReply: result ignored
// by the plug-in).
RUX_API int32_t RuxReply(RuxService service, int32_t flags, RuxItem proc, RuxItem cookie, RuxItem item);
RUX_API int32_t RuxAdvise(RuxService service, int32_t flags, RuxItem item);
RUX_API int32_t RuxUpdate(RuxService service, int32_t flags, RuxItem item);
RUX_API int32_t RuxCall(RuxService service, int32_t flags, RuxItem item, int32_t reserved);
