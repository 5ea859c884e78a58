// Connection: one link to one CAN port of a gateway, with its receive thread,
// link control (CONNECT, DISCONNECT, ALIVE) and keep-alive thread. Transport
// layer. The socket side (connect, send, receive, drop) is in
// ip_connection.cpp, the link-control telegrams and keep-alive in
// link_control.cpp; the two threads are in connection_threads.h.
//
// Socket lifetime: dropping the link shuts the socket down, which wakes every
// thread blocked on it, but the descriptor itself is released only once the
// receive thread has stopped (at the next connect or at destruction), so no
// thread can ever act on a descriptor number the system has handed out again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/ip_base.h"
#include "transport/tes_msg.h"
#include "transport/tes_thread.h"

namespace tes {

class CStreamCutter;

class CTesIPConnection : public CTesIPBase {
public:
    CTesIPConnection();
    ~CTesIPConnection() override;

    // Opens the link: transport within `timeoutMs`, then (with link control)
    // the CONNECT handshake within what is left of the same deadline.
    // Transport result: 1 connected, 2 socket error or bad transport,
    // 3 not connected (also: refused with a byte other than 1),
    // 4 handshake time-out, 5 not closed now, 6 no socket stack, 7 refused
    // because the gateway is full.
    int Connect(uint8_t deviceType, const std::vector<uint8_t>& connectData, const char* host,
                uint16_t port, uint32_t timeoutMs, int transport, bool linkControl);
    // DISCONNECT handshake (with link control) and drop; 5 when not connected.
    int Disconnect(int32_t timeoutMs);
    // Ends a connected link: 1, or 5 when it was not connected.
    int DropLink();
    // Sends a block within `timeoutMs` (on TCP counted from the moment the
    // socket first would block); a time-out or a failed wait drops the link.
    // Several threads may send at once: blocks never interleave.
    int Send(const uint8_t* bytes, size_t length, int32_t timeoutMs);
    // Keep-alive with `periodMs` (0 stops it and tells the gateway so).
    // 3 when not connected, else the result of sending the ALIVE request.
    int StartAlive(uint32_t periodMs);
    // Stops and joins the receive and keep-alive threads (link left as is).
    void StopThreads();

    // A thread that waits for a reply may read a TCP link itself while the
    // receive thread has nothing to read, which spares the reply the wake-up
    // of one thread by the other. It takes the reading role before it sends
    // its request: false when the receive thread reads now, on a datagram
    // link, or on the receive thread itself (then it waits the usual way).
    bool TakeReadRole();
    void ReturnReadRole();
    enum class WaiterRead {
        kRead,     // read and handled what came (perhaps nothing): look again
        kTimeout,  // nothing came within the time
        kGiveUp,   // the receive thread reads from now on: return the role
    };
    // With the reading role: waits up to `timeoutMs` for data and handles
    // the confirmations in it (link control's too) on the calling thread.
    // At the first other telegram (an indication, or a request of the
    // gateway's) it stops, leaves that one and all that follow to the
    // receive thread, which handles them in order, and gives up; so it does
    // when the connection wakes the receive thread (a drop, a stop).
    // First it checks the socket for up to `spinUs` microseconds without
    // sleeping (on a virtual machine a sleeping CPU takes longer to wake);
    // *spun tells what that spin came to.
    WaiterRead ReadAsWaiter(int32_t timeoutMs, int32_t spinUs, sys::SpinResult* spun);

    // Cuts nothing: handles one complete telegram of `length` bytes.
    void HandleTelegram(const uint8_t* bytes, uint32_t length);

    bool IsReceiveThread() const;
    // Received telegrams dropped because memory ran out while handling them.
    uint64_t DroppedTelegrams() const { return nDroppedTelegrams.load(std::memory_order_relaxed); }
    const std::string& PeerAddressText() const { return sPeerAddress; }
    int32_t AliveMode() const { return nAliveMode.load(); }

protected:
    virtual void OnConnectionChanged(bool connected) { (void)connected; }
    virtual void OnTelegram(const uint8_t* bytes, uint32_t length) {
        (void)bytes;
        (void)length;
    }
    // Brackets the telegrams cut from one receive (receive thread): true
    // before the first, false after the last.
    virtual void OnReceiveBatch(bool starting) { (void)starting; }
    virtual bool AcceptConnect(const uint8_t* data, size_t length) {
        (void)data;
        (void)length;
        return true;
    }

private:
    class CReadThread;
    class CAliveThread;
    friend class CReadThread;
    friend class CAliveThread;
    // Lets the fuzz targets run HandleTelegram with link control on or off
    // without opening a link; defined only there.
    friend struct ConnectionTestAccess;

    // ---- socket side (ip_connection.cpp)
    void Receive();
    // What the receive loops do after waiting: read, test their conditions
    // again (woken, or the silence checked), or end (the link is dropped).
    enum class WaitOutcome { kData, kAgain, kBroken };
    WaitOutcome AwaitData();
    void ReceiveStream();
    void ReceiveDatagrams();
    // HandleTelegram for the receive loops: a failed allocation drops the
    // telegram and is counted.
    void HandleReceived(const uint8_t* bytes, uint32_t length);
    // The receive thread's side of the reading role: waits while a waiter
    // holds it (watching the link for silence meanwhile); false when the
    // thread is to stop or the link ended.
    bool TakeReadRoleForReceive();
    // A waiter's side: frees the role and wakes whoever waits for it.
    void FreeWaiterRole();

    // ---- link control and keep-alive (link_control.cpp)
    // Command words of the link-control telegrams for `deviceType`.
    void SetLinkCommands(uint8_t deviceType);
    int SendLinkTelegram(const CTesMsg& telegram, int32_t timeoutMs);
    int SendAliveRequest(int32_t timeoutMs);
    void HandleAliveRequest(const uint8_t* bytes, uint32_t length);
    // HandleTelegram for a telegram whose command may be a link command.
    void HandleLinkTelegram(uint16_t command, const uint8_t* bytes, uint32_t length);
    void EnsureAliveThread();
    void StopAliveThread();
    // Wakes the keep-alive thread to plan again after the period or the
    // mode changed.
    void NudgeAliveThread();
    // One pass of the keep-alive thread: sends an ALIVE request when one is
    // due; returns how long the thread may sleep before the next can be due
    // (negative: until it is woken).
    int64_t AliveStep();
    // Receive thread: how long to wait for data before the link counts as
    // silent (negative: without limit, keep-alive off), and ending the link
    // once it is.
    int ReceiveWaitMs() const;
    void EndLinkIfSilent();

    CTesEvent oConnectEvent;
    CTesEvent oDisconnectEvent;
    std::atomic<uint8_t> cConnectResult{0};
    std::atomic<uint8_t> cDisconnectResult{0};
    uint16_t nCmdConnect = 0x0001;
    uint16_t nCmdConnectConf = 0x8001;
    uint16_t nCmdDisconnect = 0x0002;
    uint16_t nCmdDisconnectConf = 0x8002;
    uint16_t nCmdAlive = 0x000D;
    uint16_t nCmdAliveConf = 0x800D;
    uint8_t cDeviceType = 0;
    bool bLinkControl = false;
    std::string sPeerAddress;
    std::string sHost;
    uint16_t nPort = 0;

    std::unique_ptr<CReadThread> pReadThread;
    CTesMutex oAliveThreadMutex;  // guards pAliveThread (app and receive threads)
    std::unique_ptr<CAliveThread> pAliveThread;
    std::atomic<int32_t> nAliveMode{0};
    std::atomic<uint32_t> nAlivePeriod{0};
    // Keep-alive stamps (sys::CoarseMonotonicMs): the last successful send
    // while this side runs the keep-alive, the last telegram received, the
    // last ALIVE request of the keep-alive thread.
    std::atomic<int64_t> nLastSendMs{0};
    std::atomic<int64_t> nLastReceiveMs{0};
    std::atomic<int64_t> nLastAliveMs{0};
    std::atomic<uint64_t> nDroppedTelegrams{0};

    // Who may receive from a TCP socket and cut its stream: nobody, the
    // receive thread (for each receive), or a thread waiting for a reply.
    enum : int { kRoleFree, kRoleReceiver, kRoleWaiter };
    std::atomic<int> nReadRole{kRoleFree};
    CTesEvent oRoleReturned;  // signalled whenever a waiter returns the role
    // A waiter left whole telegrams in the stream buffer for the receive
    // thread, which handles them before it waits for more.
    std::atomic<bool> bHandedOver{false};
    // The stream buffer of a TCP link; whoever holds the role uses it.
    std::unique_ptr<CStreamCutter> pCutter;

    CTesMutex oSendMutex;  // keeps blocks of concurrent senders whole
    // Wakes the receive thread when the link ends, and when keep-alive starts
    // (the receive thread then clears it and plans its wait again).
    sys::Waker oWaker;
    // The receive thread's wait on the socket and oWaker; a waiter holding
    // the reading role pauses its watch on the socket.
    sys::ReadWatch oWatch;
    // Wakes a waiter reading the link (ReadAsWaiter) when the link ends or
    // the threads stop.
    sys::Waker oWaiterWaker;
};

// The reading role of one request, held from before it is sent until its
// wait ends (or given up earlier), and returned however the wait ends.
class CReadRole {
public:
    explicit CReadRole(CTesIPConnection& connection)
        : oConnection(connection), bHeld(connection.TakeReadRole()) {}
    ~CReadRole() { Return(); }
    CReadRole(const CReadRole&) = delete;
    CReadRole& operator=(const CReadRole&) = delete;

    bool Held() const { return bHeld; }
    void Return() {
        if (bHeld) oConnection.ReturnReadRole();
        bHeld = false;
    }

private:
    CTesIPConnection& oConnection;
    bool bHeld;
};

}  // namespace tes
