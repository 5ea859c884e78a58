// The connection's two threads: the receive thread, which runs while a link
// is up, and the keep-alive thread, which runs while keep-alive is on.
// Transport layer; used only by the connection's own sources.
#pragma once

#include <algorithm>
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
        // A tick ends each quarter period, so three silent ticks are three
        // quarters of the period after the start.
        for (;;) {
            const uint32_t sleepMs = std::max<uint32_t>(oConnection.nAlivePeriod.load() / 4, 10);
            if (SleepUnlessStopped(sleepMs)) break;
            oConnection.AliveTick();
        }
    }

private:
    CTesIPConnection& oConnection;
};

}  // namespace tes
