#include "installer/url_download.h"

#include <urlmon.h>

namespace {

// Lives on the caller's stack for one synchronous download; it only
// remembers the HTTP status of the answer.
class HttpStatusWatcher : public IBindStatusCallback, public IHttpNegotiate {
public:
    DWORD status = 0;  // 0 until an HTTP answer arrives

    STDMETHODIMP QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IBindStatusCallback)) {
            *object = static_cast<IBindStatusCallback*>(this);
        } else if (IsEqualIID(id, IID_IHttpNegotiate)) {
            *object = static_cast<IHttpNegotiate*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return S_OK; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override {
        if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
        return S_OK;
    }
    STDMETHODIMP OnResponse(DWORD code, LPCWSTR, LPCWSTR, LPWSTR* additionalHeaders) override {
        status = code;
        if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
        return S_OK;
    }
};

}  // namespace

bool DownloadUrlToFile(const std::wstring& url, const std::wstring& path, HRESULT* result) {
    HttpStatusWatcher watcher;
    *result = URLDownloadToFileW(nullptr, url.c_str(), path.c_str(), 0, &watcher);
    if (FAILED(*result)) return false;
    if (watcher.status < 400) return true;
    DeleteFileW(path.c_str());
    return false;
}
