// Reads and presses top-level windows of other processes, for tests that
// cannot rely on keyboard input reaching message boxes.
//
//   wintool wait <title> <timeout-ms>     prints the window as JSON (texts, and children with
//                                         their class, text and enabled state); exit 1 when it never came
//   wintool press <title> <command-id>    posts WM_COMMAND(id), as a click on that button does
//   wintool gone <title> <timeout-ms>     exit 0 once no such window is left
//   wintool list                          prints every visible top-level window as JSON lines
// wait, press and gone take an optional window class after their number, for
// a title that two windows carry (a message box and its owner). The JSON also
// holds the window rectangle and the client area (screen origin and size).
#include <windows.h>

#include <cstdio>
#include <string>

#include "../common/utf8.h"
#include <vector>

namespace {

std::string JsonString(const std::wstring& wide) {
    std::string out = "\"";
    for (unsigned char c : Utf8(wide)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[4096] = {};
    GetWindowTextW(window, buffer, 4096);
    return buffer;
}

std::wstring ClassName(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

// The screen pixels under a window, as 32-bit BGRA rows; empty when unreadable.
std::vector<unsigned char> ScreenPixels(HWND window) {
    std::vector<unsigned char> pixels;
    RECT rect = {};
    if (!GetWindowRect(window, &rect)) return pixels;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    pixels.resize(static_cast<size_t>(width) * height * 4);
    if (!GetDIBits(memory, bitmap, 0, height, pixels.data(), &format, DIB_RGB_COLORS)) pixels.clear();
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Which kind of standard icon a message box shows, told by the colours on
// screen: red for error, yellow for warning, blue for information or
// question. (Icon handles belong to their process, so the icon itself
// cannot be read from here.)
const char* IconName(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
        const std::vector<unsigned char> pixels = ScreenPixels(child);
        unsigned long red = 0, yellow = 0, blue = 0;
        for (size_t i = 0; i + 3 < pixels.size(); i += 4) {
            const unsigned b = pixels[i], g = pixels[i + 1], r = pixels[i + 2];
            // Only strongly coloured pixels count, not the white or grey parts.
            if (r > 150 && g < 100 && b < 100) ++red;
            if (r > 180 && g > 150 && b < 100) ++yellow;
            if (b > 150 && r < 120) ++blue;
        }
        if (red > yellow && red > blue) return "error";
        if (yellow > red && yellow > blue) return "warning";
        if (blue > 0) return "information";
        return "other";
    }
    return "none";
}

struct FindRequest {
    std::wstring title;
    std::wstring className;  // empty: any class
    HWND found = nullptr;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM param) {
    FindRequest* request = reinterpret_cast<FindRequest*>(param);
    if (IsWindowVisible(window) && WindowText(window) == request->title &&
        (request->className.empty() || ClassName(window) == request->className)) {
        request->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindByTitle(const std::wstring& title, const std::wstring& className) {
    FindRequest request{title, className};
    EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

HWND WaitFor(const std::wstring& title, const std::wstring& className, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = FindByTitle(title, className)) return window;
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(100);
    }
}

BOOL CALLBACK CollectChildren(HWND child, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
    return TRUE;
}

// The icon is read from the screen, so a box that has just appeared may not
// be painted yet: look again for a while before settling on "other".
const char* SettledIconName(HWND window) {
    const char* name = IconName(window);
    for (int attempt = 0; attempt < 50 && lstrcmpA(name, "other") == 0; ++attempt) {
        Sleep(100);
        name = IconName(window);
    }
    return name;
}

// A control's own text (a Rich Edit's content, say): GetWindowText of
// another process's window gives only the caption the system keeps, so ask
// the control itself, without waiting on a busy window for long.
std::wstring ControlText(HWND control) {
    wchar_t buffer[4096] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 2000,
                             &copied)) {
        return L"";
    }
    return buffer;
}

// Each child as {"class", "text", "enabled"}.
std::string ChildrenJson(const std::vector<HWND>& children) {
    std::string json = "[";
    for (size_t i = 0; i < children.size(); ++i) {
        json += (i ? ",{" : "{");
        json += "\"class\":" + JsonString(ClassName(children[i])) + ",\"text\":" + JsonString(ControlText(children[i])) +
                ",\"enabled\":" + (IsWindowEnabled(children[i]) ? "true" : "false") + "}";
    }
    return json + "]";
}

// [a,b,c,d] from four numbers.
std::string Numbers(long a, long b, long c, long d) {
    return "[" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," + std::to_string(d) + "]";
}

// "window": left, top, right, bottom; "client": screen x, y, width, height.
std::string GeometryJson(HWND window) {
    RECT outer = {}, client = {};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    return "\"window\":" + Numbers(outer.left, outer.top, outer.right, outer.bottom) +
           ",\"client\":" + Numbers(origin.x, origin.y, client.right, client.bottom) + ",";
}

void PrintWindow(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChildren, reinterpret_cast<LPARAM>(&children));
    std::vector<std::wstring> texts;
    for (HWND child : children) texts.push_back(WindowText(child));
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    // "handle" tells one window from the next of the same title and class.
    std::string json = "{\"handle\":" + std::to_string(reinterpret_cast<uintptr_t>(window)) +
                       ",\"title\":" + JsonString(WindowText(window)) + ",\"class\":" + JsonString(ClassName(window)) +
                       ",\"pid\":" + std::to_string(pid) + ",\"icon\":\"" + SettledIconName(window) + "\"," +
                       GeometryJson(window) + "\"texts\":[";
    for (size_t i = 0; i < texts.size(); ++i) json += (i ? "," : "") + JsonString(texts[i]);
    json += "],\"children\":" + ChildrenJson(children) + "}";
    std::printf("%s\n", json.c_str());
    std::fflush(stdout);
}

BOOL CALLBACK PrintVisible(HWND window, LPARAM) {
    if (IsWindowVisible(window)) PrintWindow(window);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring verb = argv[1];
    if (verb == L"list") {
        EnumWindows(PrintVisible, 0);
        return 0;
    }
    if (argc < 4) return 2;
    const std::wstring title = argv[2];
    const DWORD number = static_cast<DWORD>(_wtoi(argv[3]));
    const std::wstring className = argc > 4 ? argv[4] : L"";
    if (verb == L"wait") {
        HWND window = WaitFor(title, className, number);
        if (window == nullptr) return 1;
        PrintWindow(window);
        return 0;
    }
    if (verb == L"press") {
        HWND window = FindByTitle(title, className);
        if (window == nullptr) return 1;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(number, BN_CLICKED), 0);
        return 0;
    }
    if (verb == L"gone") {
        const DWORD start = GetTickCount();
        while (FindByTitle(title, className) != nullptr) {
            if (GetTickCount() - start >= number) return 1;
            Sleep(100);
        }
        return 0;
    }
    return 2;
}
