#pragma once

namespace platform {

// Window designs give places and sizes in twips (1/1440 inch); at 96 dots per inch that is
// 15 twips to a pixel.
inline constexpr int kTwipsPerPixel = 15;

// Twips to whole pixels, rounded to the nearest.
constexpr int TwipsToPixels(int twips) {
    return (twips * 2 + kTwipsPerPixel) / (2 * kTwipsPerPixel);
}

} // namespace platform
