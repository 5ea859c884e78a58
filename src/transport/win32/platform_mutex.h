// The Windows platform's mutex: a kernel mutex, whose abandonment by a thread
// the system ended at process exit lets the unload sweep still take it.
#pragma once

namespace tes::sys {

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock();
    void Unlock();

private:
    void* hMutex;  // HANDLE
};

}  // namespace tes::sys
