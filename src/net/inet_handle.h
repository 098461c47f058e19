// A WinINet handle closed with InternetCloseHandle on every path.
#pragma once
#include <windows.h>
#include <wininet.h>

class ScopedInternet {
public:
    explicit ScopedInternet(HINTERNET handle = nullptr) : handle_(handle) {}
    ~ScopedInternet() {
        if (handle_ != nullptr) InternetCloseHandle(handle_);
    }
    ScopedInternet(const ScopedInternet&) = delete;
    ScopedInternet& operator=(const ScopedInternet&) = delete;

    HINTERNET Get() const { return handle_; }
    void Reset(HINTERNET handle) {
        if (handle_ != nullptr) InternetCloseHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_;
};
