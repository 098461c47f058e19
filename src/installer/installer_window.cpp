#include "installer/installer_window.h"

#include <windows.h>
#include <windowsx.h>
#include <shellapi.h>

#include "build_settings.h"
#include "installer/folder_choice.h"
#include "installer/installation.h"
#include "installer/installation_text.h"
#include "installer/installer_layout.h"
#include "installer/installer_paint.h"
#include "installer/installer_state.h"
#include "installer/installer_style.h"
#include "installer/tile_images.h"
#include "support/gdiplus_guards.h"

namespace style = installer_style;

namespace {

InstallerState g_installer;

// The agent's own icon (index 0), large and small; none when the module
// name cannot be read. Destroyed with the object.
struct AgentIcons {
    HICON large = nullptr;
    HICON smallIcon = nullptr;
    AgentIcons() {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return;
        ExtractIconExW(path, 0, &large, &smallIcon, 1);
    }
    ~AgentIcons() {
        if (large != nullptr) DestroyIcon(large);
        if (smallIcon != nullptr) DestroyIcon(smallIcon);
    }
    AgentIcons(const AgentIcons&) = delete;
    AgentIcons& operator=(const AgentIcons&) = delete;
};

const AgentIcons* g_icons = nullptr;

void LayoutInstaller(int width, int height) {
    const InstallerLayout layout = ComputeInstallerLayout(width, height);
    for (size_t i = 0; i < g_installer.tiles.size() && i < layout.tiles.size(); ++i) {
        g_installer.tiles[i].rect = layout.tiles[i];
    }
    g_installer.button = layout.button;
}

InstallerLayout CurrentLayout() {
    InstallerLayout layout;
    for (size_t i = 0; i < g_installer.tiles.size() && i < layout.tiles.size(); ++i) {
        layout.tiles[i] = g_installer.tiles[i].rect;
    }
    layout.button = g_installer.button;
    return layout;
}

void OnCreate(HWND window) {
    g_installer.window = window;
    if (g_icons != nullptr) {
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g_icons->large));
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_icons->smallIcon));
    }
    LoadTileImages(g_installer.tiles);
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client = {};
    GetClientRect(window, &client);
    const int width = client.right - client.left, height = client.bottom - client.top;
    if (dc != nullptr && width > 0 && height > 0) {
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP bitmap = memory != nullptr ? CreateCompatibleBitmap(dc, width, height) : nullptr;
        if (bitmap != nullptr) {
            HGDIOBJ previous = SelectObject(memory, bitmap);
            PaintInstallerScene(memory, width, height, g_installer);
            BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
            SelectObject(memory, previous);
            DeleteObject(bitmap);
        }
        if (memory != nullptr) DeleteDC(memory);
    }
    EndPaint(window, &paint);
}

void OnMouseMove(HWND window, LPARAM lParam) {
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    const int tile = TileAtPoint(CurrentLayout(), x, y);
    const bool onButton = RectContains(g_installer.button, x, y);
    if (tile != g_installer.hoveredTile || onButton != g_installer.buttonHovered) {
        g_installer.hoveredTile = tile;
        g_installer.buttonHovered = onButton;
        InvalidateRect(window, nullptr, FALSE);
    }
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = window;
    TrackMouseEvent(&track);
}

void OnMouseLeave(HWND window) {
    if (g_installer.hoveredTile < 0 && !g_installer.buttonHovered) return;
    g_installer.hoveredTile = -1;
    g_installer.buttonHovered = false;
    InvalidateRect(window, nullptr, FALSE);
}

// A click on a tile installs into its program's default folder; on the
// button, into a folder chosen first. Clicks during an installation are ignored.
void OnClick(HWND window, LPARAM lParam) {
    if (g_installer.installing) return;
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    const int tile = TileAtPoint(CurrentLayout(), x, y);
    std::wstring folder;
    if (tile >= 0 && tile < static_cast<int>(g_installer.tiles.size())) {
        folder = ProductCatalogue[g_installer.tiles[tile].catalogueRow].defaultFolder;
    } else if (!RectContains(g_installer.button, x, y) || !ChooseInstallFolder(window, &folder)) {
        return;
    }
    g_installer.installing = true;
    InstallAgentInto(window, folder);
    g_installer.installing = false;
}

LRESULT CALLBACK InstallerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_DESTROY:
            FreeTileImages(g_installer.tiles);
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            LayoutInstaller(LOWORD(lParam), HIWORD(lParam));
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_PAINT:
            OnPaint(window);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_MOUSEMOVE:
            OnMouseMove(window, lParam);
            return 0;
        case WM_MOUSELEAVE:
            OnMouseLeave(window);
            return 0;
        case WM_LBUTTONUP:
            OnClick(window, lParam);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool RegisterInstallerClass(HINSTANCE instance, const AgentIcons& icons) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = InstallerWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = style::WindowClass;
    windowClass.hIcon = icons.large;
    windowClass.hIconSm = icons.smallIcon;
    return RegisterClassExW(&windowClass) != 0;
}

// Centred in the work area; fixed size, no maximize.
HWND CreateInstallerWindow(HINSTANCE instance) {
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - style::WindowWidth) / 2;
    const int y = work.top + (work.bottom - work.top - style::WindowHeight) / 2;
    return CreateWindowExW(WS_EX_APPWINDOW, style::WindowClass, InstallerTitle,
                           WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, style::WindowWidth, style::WindowHeight,
                           nullptr, nullptr, instance, nullptr);
}

void RunMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

bool RunInstaller() {
    GdiplusSession gdiplus;
    if (!gdiplus.Started()) return false;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const AgentIcons icons;
    g_icons = &icons;
    g_installer = InstallerState();
    g_installer.tiles = BuildTileTable(settings::ImageHostW);

    bool ran = false;
    if (RegisterInstallerClass(instance, icons)) {
        HWND window = CreateInstallerWindow(instance);
        if (window != nullptr) {
            ShowWindow(window, SW_SHOW);
            UpdateWindow(window);
            RECT client = {};
            GetClientRect(window, &client);
            LayoutInstaller(client.right - client.left, client.bottom - client.top);
            RunMessageLoop();
            ran = true;
        }
        UnregisterClassW(style::WindowClass, instance);
    }
    FreeTileImages(g_installer.tiles);  // only left when creation failed after loading
    g_installer = InstallerState();
    g_icons = nullptr;
    return ran;
}
