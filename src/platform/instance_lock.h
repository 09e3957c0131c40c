#pragma once
#include <QString>

namespace tarvo::platform {

// A named, per-login-session guard: an advisory lock on a file named after the guard in
// $XDG_RUNTIME_DIR. The kernel drops the lock when the process ends, however it ends.
class InstanceLock
{
public:
    enum class Result
    {
        Acquired,
        AlreadyHeld,
        Failed
    };

    InstanceLock() = default;
    ~InstanceLock() { Release(); }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // name is the guard's full name, e.g. "Local\\Tarvo.Running_...".
    Result Acquire(const QString& name);
    void Release();
    bool held() const { return fd_ >= 0; }

    static QString FilePathFor(const QString& name);

private:
    int fd_ = -1;
};

} // namespace tarvo::platform
