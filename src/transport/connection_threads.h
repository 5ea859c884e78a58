// The connection's two threads: the receive thread, which runs while a link
// is up, and the keep-alive thread, which runs while keep-alive is on.
// Transport layer; used only by the connection's own sources.
#pragma once

#include <cstdint>

#include "transport/ip_connection.h"

namespace tes {

class CTesIPConnection::CReadThread : public CTesThread {
public:
    explicit CReadThread(CTesIPConnection& connection) : oConnection(connection) {}
    ~CReadThread() override { StopAndJoin(); }
    using CTesThread::StopRequested;

protected:
    void Run() override { oConnection.Receive(); }

private:
    CTesIPConnection& oConnection;
};

class CTesIPConnection::CAliveThread : public CTesThread {
public:
    explicit CAliveThread(CTesIPConnection& connection) : oConnection(connection) {}
    ~CAliveThread() override { StopAndJoin(); }

protected:
    void Run() override {
        // The thread sleeps until the next moment at which a request or the
        // end of a silent link can be due, not at a fixed rate: an idle link
        // costs one wake-up per ALIVE request.
        for (;;) {
            if (SleepUnlessStopped(oConnection.AliveStep())) break;
        }
    }

private:
    CTesIPConnection& oConnection;
};

}  // namespace tes
