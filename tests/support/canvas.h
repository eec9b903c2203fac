// A 32-bit top-down DIB to paint into and read back, first filled with a
// colour no theme uses, so that a pixel nobody painted cannot pass.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>

namespace qs::test {

class Canvas {
public:
    static constexpr COLORREF kUnpainted = RGB(0xFF, 0x00, 0xFF);

    Canvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader = Header();
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        RECT all{0, 0, width, height};
        HBRUSH brush = CreateSolidBrush(kUnpainted);
        FillRect(dc_, &all, brush);
        DeleteObject(brush);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }

    // A 32-bit BMP file of the canvas.
    bool SaveBmp(const std::wstring& path) const {
        const BITMAPINFOHEADER header = Header();
        const DWORD bytes = static_cast<DWORD>(width_) * height_ * 4;
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(header);
        file.bfSize = file.bfOffBits + bytes;
        GdiFlush();
        FILE* out = _wfopen(path.c_str(), L"wb");
        if (!out) return false;
        fwrite(&file, sizeof(file), 1, out);
        fwrite(&header, sizeof(header), 1, out);
        fwrite(bits_, 1, bytes, out);
        return fclose(out) == 0;
    }

private:
    BITMAPINFOHEADER Header() const {
        BITMAPINFOHEADER h{};
        h.biSize = sizeof(h);
        h.biWidth = width_;
        h.biHeight = -height_;
        h.biPlanes = 1;
        h.biBitCount = 32;
        h.biCompression = BI_RGB;
        return h;
    }

    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    void* bits_ = nullptr;
};

}  // namespace qs::test
