// Small guards that close Win32 handles on every path.
#pragma once
#include <windows.h>

// A kernel handle closed with CloseHandle (files, processes, threads).
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle() { Close(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle) {
        Close();
        handle_ = handle;
    }
    void Close() {
        if (Valid()) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

// A directory enumeration closed with FindClose.
class ScopedFind {
public:
    explicit ScopedFind(HANDLE handle) : handle_(handle) {}
    ~ScopedFind() {
        if (Valid()) FindClose(handle_);
    }
    ScopedFind(const ScopedFind&) = delete;
    ScopedFind& operator=(const ScopedFind&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// A GDI bitmap, deleted with DeleteObject.
class ScopedBitmap {
public:
    explicit ScopedBitmap(HBITMAP bitmap = nullptr) : bitmap_(bitmap) {}
    ~ScopedBitmap() { Reset(nullptr); }
    ScopedBitmap(const ScopedBitmap&) = delete;
    ScopedBitmap& operator=(const ScopedBitmap&) = delete;

    HBITMAP Get() const { return bitmap_; }
    HBITMAP Release() {
        HBITMAP bitmap = bitmap_;
        bitmap_ = nullptr;
        return bitmap;
    }
    void Reset(HBITMAP bitmap) {
        if (bitmap_ != nullptr) DeleteObject(bitmap_);
        bitmap_ = bitmap;
    }

private:
    HBITMAP bitmap_;
};

// A memory device context with one bitmap selected into it for its life:
// the context's own bitmap goes back in and the context is deleted.
class ScopedMemoryDc {
public:
    ScopedMemoryDc(HDC compatibleWith, HBITMAP bitmap) : dc_(CreateCompatibleDC(compatibleWith)) {
        if (dc_ != nullptr && bitmap != nullptr) previous_ = SelectObject(dc_, bitmap);
    }
    ~ScopedMemoryDc() {
        if (dc_ == nullptr) return;
        if (previous_ != nullptr) SelectObject(dc_, previous_);
        DeleteDC(dc_);
    }
    ScopedMemoryDc(const ScopedMemoryDc&) = delete;
    ScopedMemoryDc& operator=(const ScopedMemoryDc&) = delete;

    HDC Get() const { return dc_; }
    bool Valid() const { return dc_ != nullptr && previous_ != nullptr; }

private:
    HDC dc_;
    HGDIOBJ previous_ = nullptr;
};
