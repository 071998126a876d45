// What our Rux.dll offers beyond the calls the plug-in makes: the extra type
// and result codes, and the calls a user interface and the tools use.
//
// Ownership rule of the library, for every item handle:
// - An item from RuxBuildItem or RuxBuildBlob is the caller's and is released
//   with RuxReleaseItem.
// - An item handed out by RuxPopCall belongs to the library. It stays valid
//   until the next RuxPopCall on the same service, or until the service stops;
//   releasing it is harmless and does nothing.
// - Items handed out by RuxGetAssoc, RuxGetNthKey and RuxGetAt are tied to the
//   item they were read from (ultimately a built or popped item). The caller
//   may release them at any time; whatever it does not release goes when that
//   item is released or, for a popped call, replaced by the next pop.
// - A handle that is null, released, stale (its item gone) or of another kind
//   gets the failure result, never a crash. Out-parameters are left untouched
//   on failure.
//
// Endpoints: RuxStopService and RuxStopSink take only handles from
// RuxStartService and RuxStartSink, RuxCloseService and RuxCloseConnection only
// handles from RuxOpenService, RuxOpenConnection and RuxOpenPeer; any other
// handle is left alone. RuxStartSink and RuxOpenConnection need RuxInit first.
// Sink and service names: 1 to 128 printable ASCII characters without '\'
// and '/'.
//
// Associative items: keys are distinct. RuxBuildItem refuses a format that
// repeats a key, RuxAssocSet replaces the member of an existing key, and a
// received item that repeats a key is malformed and dropped. Members keep the
// order in which they were added (RuxGetNthKey); a look-up by key
// (RuxGetAssoc, RuxGetAt) takes logarithmic time.
//
// Events: a service's event is set when a message arrives and no signal is
// pending since the last RuxPopCall, so a woken application pops until
// RuxResult_Empty. A sink's event is set when a peer connects.
//
// What a sink takes from its clients is bounded (numbers in Sink.h,
// SinkService.h and ItemCodec.h): a connection must greet it within a few
// seconds (a peer does as it opens, a plain connection with its first
// RuxOpenService), a client process holds a bounded share of the sink's pipe
// instances and a few are kept for the sink's own process, and each service
// queues a bounded number of bytes of decoded items. When the shares of other
// processes are all taken, a process that holds no connection is still let
// in: the longest-idle connection of a process that holds the most is closed
// for it (that sender sees its connection broken). A message past its
// item's bound or its service's budget, or one that cannot be decoded for
// want of memory, is dropped with a trace line and the connection that sent
// it is closed; the sender sees the connection broken.
//
// A sink that stops tells the clients it serves that it is going; a
// connection of this library, idle or not, then closes its end at once and
// reads as broken (RuxIsConnected 0, RuxEnsurePeer opens it again). On Windows
// a pipe's name lives while any client end of it is open, so a sink can start
// again under its name as soon as it stopped.
//
// Threads: the library's own threads never call back into the application
// except through the trace callback and by setting the application's events.
// From the trace callback on one of the library's threads, RuxStopSink and
// RuxExit do nothing (with ERROR_INVALID_THREAD_ID): such a thread cannot
// wait for the library's threads to end.
// Connections: RuxOpenConnection connects and checks the sink's server (see
// RuxError_ServerNotTrusted) without a word to the sink; the first
// RuxOpenService greets the sink and looks the service up in one exchange,
// and fails for a service the sink does not have or a sink that turns the
// caller away. Sends are synchronous with the pipe: once a send returns, the
// message reaches the sink's queue (or a bound above drops it) even if the
// sender closes or exits at once. RuxCloseConnection does not wait for the
// sink, and a message sent just before it is still never lost and in order:
// it is queued before anything the same process sends to that sink later, on
// any connection, and before a RuxPopCall of that process on the sink's
// service (a sink of its own) reports the queue empty. A peer's close waits
// until everything it sent was queued.
#pragma once

#include "contracts/RuxApi.h"

// Item type of a signed 32-bit number ('i' in RuxBuildItem).
constexpr int32_t RuxType_Int32 = 4;

// RuxPopCall results beside RuxResult_Call (6), RuxResult_Query (7) and
// RuxResult_Empty (9). RuxPopCall on an invalid or stopped service reports
// RuxResult_Empty, so that a drain loop always ends.
constexpr int32_t RuxResult_Advise = 10;  // the item sent with RuxAdvise
constexpr int32_t RuxResult_Update = 11;  // the item sent with RuxUpdate
constexpr int32_t RuxResult_Reply = 12;   // {"proc", "cookie", "result"}: an answer to RuxQuery

// Frames above this size are refused by the sender and dropped by the receiver.
constexpr uint32_t RuxMaxFrameBytes = 1u << 20;

// Who may reach a sink. Its pipe admits SYSTEM and the user the sink's process
// runs as; a sink of a service account (SYSTEM, LocalService, NetworkService)
// also admits the user logged on at the active console session (by that
// logon's SID, with read and write but no right to create instances of the
// pipe or change its security), and follows the console when it moves to
// another session or another user logs on there (within about two seconds). A client of another session that is neither SYSTEM nor the
// sink's user is disconnected, and so is any client below medium integrity or
// in an AppContainer (the pipe carries a medium no-read-up label as well). A
// sink of LocalService or NetworkService grants its own service SID, where its
// service has one, in place of the shared account. There is no call to serve
// another session than the console's: the plug-in follows the active console
// session itself.
//
// RuxOpenConnection, RuxOpenPeer and RuxEnsurePeer check the process behind a
// sink's pipe before they send anything: it must run as SYSTEM or as the
// caller's user, or, for a caller that runs as a service account, as the user
// of the active console session; a sink named "QClient(N)" must be served in
// session N. The server's user is the owner of its pipe, and the server
// process's user must agree with it where the caller may read it. Otherwise
// they fail with this last error (and a trace line).
constexpr uint32_t RuxError_ServerNotTrusted = ERROR_WRONG_TARGET_NAME;

// A blob item with a copy of `length` bytes (null data only with length 0).
RUX_API RuxItem RuxBuildBlob(const void* data, uint32_t length);
// Reads an Int32 or Bool item.
RUX_API int32_t RuxGetInt(RuxItem item, int32_t* value);
// Adds or replaces the member `key` of an associative item that the caller
// built, storing a copy of `value`. Non-zero on success. Popped items and
// items read out of another item cannot be changed.
RUX_API int32_t RuxAssocSet(RuxItem assoc, const char* key, RuxItem value);

// Sends a query to an opened service. The receiver pops an associative item
// with "proc" (a copy of `proc`), "arg" (when `arg` is not null), "service"
// (`replyService`), "source" (`replySink`) and "cookie" (a copy of `cookie`);
// it answers with RuxReply on a connection to `replySink` / `replyService`,
// where the answer is popped as RuxResult_Reply. Non-zero = sent.
//
// RuxQuery and RuxReply put the caller's items one level deeper into the
// message they send: an item nested as deep as an item may be is refused
// (0, ERROR_INVALID_PARAMETER), since no receiver could decode the message.
RUX_API int32_t RuxQuery(RuxService service, int32_t flags, RuxItem proc, RuxItem arg, RuxItem cookie,
                         const char* replySink, const char* replyService);

// Non-zero while a connection (or peer) is open and its sink still there.
RUX_API int32_t RuxIsConnected(RuxConnection connection);

// Who sent a popped message, as the system told the sink when it admitted the
// connection that carried it: never what the message itself says.
struct RuxCallSender {
    uint32_t process;    // the client's process id
    uint32_t session;    // its session; 0xFFFFFFFF when it could not be read
    uint32_t userBytes;  // length of `user`; 0 when the client could not be identified
    uint8_t user[68];    // the client's user, a SID (SECURITY_MAX_SID_SIZE bytes at most)
};
// The sender of the message that RuxPopCall handed out last on `service` (a
// started service), valid as long as that message is: until the next
// RuxPopCall on the service or its stop. 0 on success; on failure (no message
// out, the queue found empty since, an invalid handle, a sender not known)
// `sender` is untouched.
RUX_API int32_t RuxGetCallSender(RuxService service, RuxCallSender* sender);

// A connection for one exchange with a sink that may be slow or hostile, as a
// privileged process makes one on a caller's behalf.
struct RuxExchange {
    // The whole exchange, 1 to 60000 ms: the connect (with its wait for a free
    // pipe instance), the server check, RuxOpenService and the sends on that
    // service. Once it has passed, every step fails with ERROR_TIMEOUT.
    uint32_t timeoutMs;
    // Null, or an event of the caller: once set, the step that waits fails at
    // once and every later one too, with ERROR_CANCELLED (an application's
    // exit). The library keeps a duplicate.
    HANDLE cancel;
    // Null, or whom the sink's server must be: a process of exactly
    // `server->user` in session `server->session` (usually what
    // RuxGetCallSender said about the caller a reply is for; a "QClient(N)"
    // sink must still be served in session N), checked before anything is
    // sent. Null: the rules of RuxError_ServerNotTrusted. Not kept after the
    // call.
    const RuxCallSender* server;
};
// Connects to `sinkName` for one exchange as `exchange` bounds it: a plain
// connection (as RuxOpenConnection's) whose RuxOpenService, sends and close
// never wait past its deadline or its cancel event. Null with the last error
// ERROR_TIMEOUT, ERROR_CANCELLED, RuxError_ServerNotTrusted,
// ERROR_INVALID_PARAMETER (bad bounds), or what the connect reported.
// RuxOpenService on it fails with ERROR_TIMEOUT or ERROR_CANCELLED the same
// way, and so does a send (0, not delivered). Closed with RuxCloseConnection,
// which does not wait.
RUX_API RuxConnection RuxOpenExchange(const char* sinkName, const RuxExchange* exchange);

// The memory an item and everything in it takes, as the library counts it
// against a service's queue budget: for a caller that keeps copies of
// received items (RuxAssocSet) under a budget of its own. 0 on success.
RUX_API int32_t RuxGetItemSize(RuxItem item, uint32_t* bytes);
