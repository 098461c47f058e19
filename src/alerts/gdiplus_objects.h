// Owners for GDI+ flat-API objects: each is deleted with its own function
// when the owner goes out of scope.
#pragma once
#include <windows.h>
// objidl.h first: GDI+ needs its types, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>

template <typename T, Gdiplus::GpStatus(WINGDIPAPI* Delete)(T*)>
class GdipOwner {
public:
    GdipOwner() = default;
    ~GdipOwner() {
        if (object_ != nullptr) Delete(object_);
    }
    GdipOwner(const GdipOwner&) = delete;
    GdipOwner& operator=(const GdipOwner&) = delete;

    T* Get() const { return object_; }
    T** Out() { return &object_; }

private:
    T* object_ = nullptr;
};

using GdipGraphicsOwner = GdipOwner<Gdiplus::GpGraphics, Gdiplus::DllExports::GdipDeleteGraphics>;
using GdipBrushOwner = GdipOwner<Gdiplus::GpBrush, Gdiplus::DllExports::GdipDeleteBrush>;
using GdipPenOwner = GdipOwner<Gdiplus::GpPen, Gdiplus::DllExports::GdipDeletePen>;
using GdipFontFamilyOwner = GdipOwner<Gdiplus::GpFontFamily, Gdiplus::DllExports::GdipDeleteFontFamily>;
using GdipFontOwner = GdipOwner<Gdiplus::GpFont, Gdiplus::DllExports::GdipDeleteFont>;
using GdipStringFormatOwner = GdipOwner<Gdiplus::GpStringFormat, Gdiplus::DllExports::GdipDeleteStringFormat>;
