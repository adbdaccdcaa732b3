#pragma once

#include "pngimage/PngImage.h"

#include <QRect>

#include <cstdint>

class QPainter;

// The effects a disabled glyph button applies to its image.
enum TPngOption : std::uint8_t
{
    pngBlendOnDisabled = 0,
    pngGrayscaleOnDisabled = 1,
};

// A set of TPngOption, one byte: bit 0 pngBlendOnDisabled, bit 1 pngGrayscaleOnDisabled.
//
//     TPngOptions both = TPngOptions{pngBlendOnDisabled} | pngGrayscaleOnDisabled;
class TPngOptions
{
public:
    constexpr TPngOptions() = default;
    constexpr TPngOptions(TPngOption option) : m_bits(bitOf(option)) {}
    static constexpr TPngOptions fromByte(std::uint8_t bits)
    {
        TPngOptions set;
        set.m_bits = static_cast<std::uint8_t>(bits & 0x03);
        return set;
    }

    constexpr std::uint8_t toByte() const { return m_bits; }
    constexpr bool isEmpty() const { return m_bits == 0; }
    constexpr bool contains(TPngOption option) const { return (m_bits & bitOf(option)) != 0; }

    constexpr TPngOptions operator|(TPngOptions other) const
    {
        return fromByte(static_cast<std::uint8_t>(m_bits | other.m_bits));
    }
    constexpr TPngOptions operator-(TPngOptions other) const
    {
        return fromByte(static_cast<std::uint8_t>(m_bits & ~other.m_bits));
    }
    constexpr bool operator==(TPngOptions other) const { return m_bits == other.m_bits; }
    constexpr bool operator!=(TPngOptions other) const { return m_bits != other.m_bits; }

private:
    static constexpr std::uint8_t bitOf(TPngOption option)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(option));
    }

    std::uint8_t m_bits = 0;
};

// Draws image into rect of the painter, blended by its alpha, with the effects of options
// applied to a temporary copy (faded first, then greyed). The image itself is not changed.
void PaintPng(const TPNGObject& image, QPainter& canvas, const QRect& rect, TPngOptions options);

// Scales the image's alpha by (amount + 1) / 256, rounding half to even; grey and palette
// images become RGB with alpha, with alpha = amount. Pixels of the single transparent colour
// get alpha 0. amount 0-255.
void FadeImage(TPNGObject& image, int amount);

// Moves the colours of RGB images and of palettes towards their grey; grey images stay.
// amount 0-255, 255 giving the grey itself.
void GrayImage(TPNGObject& image, int amount);

// One colour moved towards its grey X = round(0.30 R + 0.59 G + 0.11 B):
// each channel := round(c / 256 * (255 - amount)) + round(X / 256 * (amount + 1)), computed in
// extended precision with ties to even, at most 255.
void GrayPixel(std::uint8_t& red, std::uint8_t& green, std::uint8_t& blue, int amount);
