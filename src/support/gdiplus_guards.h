// Owners for GDI+ flat-API objects and the GDI+ session, shared by the
// alerts and installer windows: each object is deleted with its own function
// when its owner goes out of scope.
#pragma once
#include <windows.h>
#include <objidl.h>  // before gdiplus.h: WIN32_LEAN_AND_MEAN leaves it out
#include <gdiplus.h>

template <typename T, typename Base, Gdiplus::GpStatus(WINGDIPAPI* Delete)(Base*)>
class GdipObject {
public:
    GdipObject() = default;
    ~GdipObject() {
        if (object_ != nullptr) Delete(object_);
    }
    GdipObject(const GdipObject&) = delete;
    GdipObject& operator=(const GdipObject&) = delete;

    T* Get() const { return object_; }
    T** Out() { return &object_; }

private:
    T* object_ = nullptr;
};

using GraphicsGuard = GdipObject<Gdiplus::GpGraphics, Gdiplus::GpGraphics, Gdiplus::DllExports::GdipDeleteGraphics>;
using PathGuard = GdipObject<Gdiplus::GpPath, Gdiplus::GpPath, Gdiplus::DllExports::GdipDeletePath>;
using SolidBrushGuard = GdipObject<Gdiplus::GpSolidFill, Gdiplus::GpBrush, Gdiplus::DllExports::GdipDeleteBrush>;
using LineBrushGuard = GdipObject<Gdiplus::GpLineGradient, Gdiplus::GpBrush, Gdiplus::DllExports::GdipDeleteBrush>;
using PenGuard = GdipObject<Gdiplus::GpPen, Gdiplus::GpPen, Gdiplus::DllExports::GdipDeletePen>;
using FontFamilyGuard =
    GdipObject<Gdiplus::GpFontFamily, Gdiplus::GpFontFamily, Gdiplus::DllExports::GdipDeleteFontFamily>;
using FontGuard = GdipObject<Gdiplus::GpFont, Gdiplus::GpFont, Gdiplus::DllExports::GdipDeleteFont>;
using StringFormatGuard =
    GdipObject<Gdiplus::GpStringFormat, Gdiplus::GpStringFormat, Gdiplus::DllExports::GdipDeleteStringFormat>;

// GDI+ started for the lifetime of the object (version 1, no debug
// callback, background thread not suppressed).
class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiplusSession() {
        if (started_) Gdiplus::GdiplusShutdown(token_);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;

    bool Started() const { return started_; }

private:
    ULONG_PTR token_ = 0;
    bool started_ = false;
};
