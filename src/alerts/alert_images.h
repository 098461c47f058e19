// Pictures of the alerts: downloaded into memory and decoded by GDI+.
#pragma once
#include <cstdint>
#include <string>

#include "alerts/alert_document.h"

// A GDI+ bitmap of the bytes at the URL, or null when the download yields
// nothing, the picture's header does not announce a size the windows can
// draw, or GDI+ cannot decode it. The caller releases it with ReleaseImage.
void* LoadImageFromUrl(const std::string& url);
void ReleaseImage(void* image);

// Width and height of a picture; false when there is none or it reads as empty.
bool UsableImageSize(void* image, int32_t& width, int32_t& height);

// Reads the stored notification document into the process-wide model and
// downloads its pictures, one after another in document order: each
// address once (the cells that name it share the picture), within the
// document's budget of bytes, pixels and fetches; a picture past it is left
// out as one that cannot be decoded. False when the file cannot be read or
// is not a document the window can show.
bool LoadAlertDocument(const std::wstring& path, AlertDocument& document);

// Releases every picture once, however many cells share it.
void ReleaseAlertImages(AlertDocument& document);
