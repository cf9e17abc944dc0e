// Plays the player's part in the demo: waits for the updater's window,
// answers each message box it shows (Yes where there is one, else OK),
// prints what the boxes said, and saves one PNG picture of the window while
// the download is under way. A failed run's window is closed with its
// Close button after its status is printed. Ends when the window is gone, or after the
// time-out, so it never lingers.
//
// usage: demo-driver.exe <picture.png> <time-out in seconds>

#include <windows.h>
#include <commctrl.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct window_search {
    DWORD process;
    const wchar_t* class_name;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM context)
{
    auto& search = *reinterpret_cast<window_search*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    if (IsWindowVisible(window) && (search.process == 0 || process == search.process) &&
        wcscmp(class_name, search.class_name) == 0) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

HWND find_top_level(DWORD process, const wchar_t* class_name)
{
    window_search search{process, class_name, nullptr};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string to_utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         /*output*/ nullptr, 0, /*default char*/ nullptr, /*used default*/ nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        /*default char*/ nullptr, /*used default*/ nullptr);
    return bytes;
}

// A window's text, read with WM_GETTEXT: GetWindowTextW cannot read another
// process's edit control. Empty when the window does not answer in time.
std::wstring window_text(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, /*unused*/ 0, /*unused*/ 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 5000, &copied)) {
        return {};
    }
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

// The static text of a message box: the child that is neither a button nor
// its icon.
std::wstring box_text(HWND box)
{
    std::wstring longest;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t class_name[32] = {};
        GetClassNameW(child, class_name, 32);
        if (_wcsicmp(class_name, L"Static") != 0) {
            continue;
        }
        const std::wstring text = window_text(child);
        if (text.size() > longest.size()) {
            longest = text;
        }
    }
    return longest;
}

void append_chunk(std::string& png, const char* type, const std::string& data)
{
    const auto put32 = [&png](std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            png.push_back(static_cast<char>((value >> shift) & 0xff));
        }
    };
    put32(static_cast<std::uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    png += body;
    put32(static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// The window as the screen shows it, as PNG bytes; empty when it cannot be read.
std::string capture_png(HWND window)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect)) {
        return {};
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return {};
    }
    HDC screen = GetDC(/*whole screen*/ nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(/*whole screen*/ nullptr, screen);
    if (rows != height) {
        return {};
    }

    // Filter byte 0 and RGB per row.
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (width * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back('\0');
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* bgra = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            raw.push_back(static_cast<char>(bgra[2]));
            raw.push_back(static_cast<char>(bgra[1]));
            raw.push_back(static_cast<char>(bgra[0]));
        }
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packed_size, '\0');
    if (compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size, reinterpret_cast<const Bytef*>(raw.data()),
                 static_cast<uLong>(raw.size())) != Z_OK) {
        return {};
    }
    packed.resize(packed_size);

    std::string header;
    for (const std::uint32_t value : {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            header.push_back(static_cast<char>((value >> shift) & 0xff));
        }
    }
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
    std::string png("\x89PNG\r\n\x1a\n", 8);
    append_chunk(png, "IHDR", header);
    append_chunk(png, "IDAT", packed);
    append_chunk(png, "IEND", {});
    return png;
}

constexpr int pause_command_id = 101;
constexpr int close_command_id = 104;
constexpr int retry_command_id = 105;

HWND progress_bar_of(HWND window)
{
    return FindWindowExW(window, /*after*/ nullptr, PROGRESS_CLASSW, /*title*/ nullptr);
}

bool mid_download(HWND window)
{
    HWND bar = progress_bar_of(window);
    if (!bar) {
        return false;
    }
    const auto position = SendMessageW(bar, PBM_GETPOS, 0, 0);
    const auto upper = SendMessageW(bar, PBM_GETRANGE, /*high*/ FALSE, /*range*/ 0);
    return position > 0 && position < upper;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fputs("usage: demo-driver.exe <picture.png> <time-out in seconds>\n", stderr);
        return 2;
    }
    const std::wstring picture = argv[1];
    const ULONGLONG deadline = GetTickCount64() + 1000ULL * std::wcstoul(argv[2], nullptr, 10);

    HWND window = nullptr;
    DWORD process = 0;
    while (!window && GetTickCount64() < deadline) {
        window = find_top_level(/*any process*/ 0, L"OrvekUpdaterWindow");
        Sleep(20);
    }
    if (!window) {
        std::fputs("demo-driver: the updater's window never appeared\n", stderr);
        return 1;
    }
    GetWindowThreadProcessId(window, &process);

    std::string best;  // the latest picture, kept for a download too fast to catch
    bool caught_mid_download = false;
    while (IsWindow(window) && GetTickCount64() < deadline) {
        if (HWND box = find_top_level(process, L"#32770")) {
            const std::wstring text = box_text(box);
            std::printf("message box: %s\n", to_utf8(text).c_str());
            std::fflush(stdout);
            const bool has_yes = GetDlgItem(box, IDYES) != nullptr;
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(has_yes ? IDYES : IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, has_yes ? IDYES : IDOK)));
            while (IsWindow(box) && GetTickCount64() < deadline) {
                Sleep(20);
            }
            continue;
        }
        // A failed run keeps its window with only Close and Retry enabled: say
        // why, and close it. (While the window is being made, all are enabled.)
        HWND close = GetDlgItem(window, close_command_id);
        HWND retry = GetDlgItem(window, retry_command_id);
        HWND pause = GetDlgItem(window, pause_command_id);
        if (close && retry && pause && IsWindowEnabled(close) && IsWindowEnabled(retry) && !IsWindowEnabled(pause)) {
            HWND status = FindWindowExW(window, /*after*/ nullptr, L"Edit", /*title*/ nullptr);
            std::printf("the run ended with: %s\n", to_utf8(window_text(status)).c_str());
            std::fflush(stdout);
            if (best.empty()) {
                best = capture_png(window);
            }
            std::ofstream(picture.c_str(), std::ios::binary | std::ios::trunc) << best;
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(close_command_id, BN_CLICKED), reinterpret_cast<LPARAM>(close));
            best.clear();
            for (int waited = 0; IsWindow(window) && waited < 250; ++waited) {
                Sleep(20);
            }
            break;
        }
        if (!caught_mid_download) {
            const bool mid = mid_download(window);
            std::string png = capture_png(window);
            if (!png.empty()) {
                best = std::move(png);
                caught_mid_download = mid;
            }
        }
        Sleep(caught_mid_download ? 100 : 25);
    }
    if (!best.empty()) {
        std::ofstream(picture.c_str(), std::ios::binary | std::ios::trunc) << best;
        std::printf("picture: %s\n", caught_mid_download ? "mid-download" : "last sight of the window");
    }
    if (IsWindow(window)) {
        std::fputs("demo-driver: the window was still open at the time-out\n", stderr);
        return 1;
    }
    return 0;
}
