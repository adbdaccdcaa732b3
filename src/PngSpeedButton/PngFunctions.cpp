#include "PngSpeedButton/PngFunctions.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

// Nearest integer, ties to the even one, whatever the floating-point environment says.
long double roundHalfEven(long double value)
{
    const long double below = std::floor(value);
    const long double fraction = value - below;
    if (fraction > 0.5L) {
        return below + 1;
    }
    if (fraction < 0.5L) {
        return below;
    }
    return std::fmod(below, 2.0L) == 0 ? below : below + 1;
}

int clampAmount(int amount)
{
    return std::clamp(amount, 0, 255);
}

std::uint8_t scaledAlpha(int alpha, int amount)
{
    const long double scaled = roundHalfEven(static_cast<long double>(alpha) / 256 * (amount + 1));
    return static_cast<std::uint8_t>(std::min(255.0L, scaled));
}

} // namespace

void GrayPixel(std::uint8_t& red, std::uint8_t& green, std::uint8_t& blue, int amount)
{
    amount = clampAmount(amount);
    const long double r = red;
    const long double g = green;
    const long double b = blue;
    const long double x = std::min(255.0L, roundHalfEven(0.30L * r + 0.59L * g + 0.11L * b));
    const long double greyPart = roundHalfEven(x / 256 * (amount + 1));
    // Two rounded halves can add up to 256 (white at amount 127); such a channel stays white
    // instead of wrapping round to black.
    const auto channel = [&](long double value) {
        const long double own = roundHalfEven(value / 256 * (255 - amount));
        return static_cast<std::uint8_t>(std::min(255.0L, own + greyPart));
    };
    red = channel(r);
    green = channel(g);
    blue = channel(b);
}

void FadeImage(TPNGObject& image, int amount)
{
    if (image.isEmpty()) {
        return;
    }
    amount = clampAmount(amount);
    const bool bitTransparency = image.transparencyMode() == PngTransparency::SingleColor;
    const QRgb transparent = image.transparentColor() & RGB_MASK;
    const auto isTransparent = [&](QRgb color) {
        return bitTransparency && (color & RGB_MASK) == transparent;
    };

    switch (image.colorType()) {
    case PngColorType::Rgb:
        image.addAlpha();
        [[fallthrough]];
    case PngColorType::RgbAlpha:
    case PngColorType::GrayscaleAlpha:
        for (int y = 0; y < image.height(); ++y) {
            std::uint8_t* alpha = image.alphaScanline(y);
            for (int x = 0; x < image.width(); ++x) {
                alpha[x] = isTransparent(image.pixel(x, y)) ? 0 : scaledAlpha(alpha[x], amount);
            }
        }
        return;
    case PngColorType::Grayscale:
    case PngColorType::Palette:
        break;
    }

    // A palette whose tRNS grades its entries keeps them graded (scaled like an alpha
    // channel), so pixels that were invisible do not come up at half opacity; opaque pixels
    // take the amount itself.
    const bool graded = image.transparencyMode() == PngTransparency::PerPixelAlpha;
    TPNGObject faded =
        TPNGObject::createBlank(PngColorType::RgbAlpha, image.width(), image.height());
    for (int y = 0; y < image.height(); ++y) {
        std::uint8_t* alpha = faded.alphaScanline(y);
        for (int x = 0; x < image.width(); ++x) {
            const QRgb color = image.pixel(x, y);
            faded.setPixel(x, y, color);
            const int own = image.pixelAlpha(x, y);
            if (isTransparent(color)) {
                alpha[x] = 0;
            } else if (graded && own < 255) {
                alpha[x] = scaledAlpha(own, amount);
            } else {
                alpha[x] = static_cast<std::uint8_t>(amount);
            }
        }
    }
    image = std::move(faded);
}

void GrayImage(TPNGObject& image, int amount)
{
    switch (image.colorType()) {
    case PngColorType::Grayscale:
    case PngColorType::GrayscaleAlpha:
        return;
    case PngColorType::Palette: {
        QList<QRgb> entries = image.palette();
        for (QRgb& entry : entries) {
            auto r = static_cast<std::uint8_t>(qRed(entry));
            auto g = static_cast<std::uint8_t>(qGreen(entry));
            auto b = static_cast<std::uint8_t>(qBlue(entry));
            GrayPixel(r, g, b, amount);
            entry = qRgba(r, g, b, qAlpha(entry));
        }
        image.setPalette(entries);
        return;
    }
    case PngColorType::Rgb:
    case PngColorType::RgbAlpha:
        break;
    }
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb color = image.pixel(x, y);
            auto r = static_cast<std::uint8_t>(qRed(color));
            auto g = static_cast<std::uint8_t>(qGreen(color));
            auto b = static_cast<std::uint8_t>(qBlue(color));
            GrayPixel(r, g, b, amount);
            image.setPixel(x, y, qRgb(r, g, b));
        }
    }
}

void PaintPng(const TPNGObject& image, QPainter& canvas, const QRect& rect, TPngOptions options)
{
    if (options.isEmpty()) {
        image.draw(canvas, rect);
        return;
    }
    TPNGObject copy(image);
    if (options.contains(pngBlendOnDisabled)) {
        FadeImage(copy, 127);
    }
    if (options.contains(pngGrayscaleOnDisabled)) {
        GrayImage(copy, 255);
    }
    copy.draw(canvas, rect);
}
