// Colours and fonts of the controls.
#pragma once

#include <cstdint>
#include <string>

namespace vcl {

// 0x00BBGGRR, or one of the system colours below.
using TColor = std::uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
// System colours, resolved when they are used.
constexpr TColor clBackground = 0xFF000001;  // the desktop's colour
constexpr TColor clWindowText = 0xFF000008;
constexpr TColor clBtnFace = 0xFF00000F;

struct TFont {
    std::string Name;
    int Height = 11;  // character height in pixels
    TColor Color = clWindowText;
};

}  // namespace vcl
