// The arithmetic and constants of the program's original Windows setting, in one place:
// rounding rules, twips, BGR colours and Windows virtual-key codes.
#pragma once

#include <QColor>
#include <cmath>
#include <cstdint>

namespace vb {

// Window geometry is documented in twips; the screen has 15 twips to a pixel.
constexpr int TwipsPerPixel = 15;
constexpr int px(double twips) { return static_cast<int>(twips / TwipsPerPixel + (twips >= 0 ? 0.5 : -0.5)); }
constexpr int twips(int pixels) { return pixels * TwipsPerPixel; }

// Seconds shown to the user: round to nearest, halves away from zero.
inline double roundHalfAway(double v) { return std::round(v); }

// Conversion of a number to a whole number (CInt/CLng): round to nearest, halves to even.
inline long long toWhole(double v) { return static_cast<long long>(std::nearbyint(v)); }

// Int(): the largest whole number not above the argument.
inline double intFloor(double v) { return std::floor(v); }

// Fix(): truncation toward zero.
inline double fix(double v) { return std::trunc(v); }

// Colours are stored as &HBBGGRR values.
constexpr int rgb(int r, int g, int b) { return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16); }
inline QColor colour(std::uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }
inline std::uint32_t bgr(const QColor& c) { return static_cast<std::uint32_t>(rgb(c.red(), c.green(), c.blue())); }

constexpr std::uint32_t Black = 0x000000;
constexpr std::uint32_t Blue = 0xFF0000;
constexpr std::uint32_t Yellow = 0x00FFFF;
constexpr std::uint32_t White = 0xFFFFFF;
constexpr std::uint32_t LightGrey = 0xE0E0E0;

// Windows virtual-key codes, as the program's key handlers compare them.
namespace key {
constexpr int Back = 8, Tab = 9, Return = 13, Shift = 16, Control = 17, Menu = 18, Escape = 27, Space = 32;
constexpr int PageUp = 33, PageDown = 34, End = 35, Home = 36, Left = 37, Up = 38, Right = 39, Down = 40;
constexpr int Insert = 45, Delete = 46;
constexpr int Numpad0 = 96, Numpad1 = 97, Numpad2 = 98, Numpad3 = 99, Numpad4 = 100, Numpad5 = 101,
              Numpad6 = 102, Numpad7 = 103, Numpad8 = 104, Numpad9 = 105;
constexpr int F1 = 112, F2 = 113, F3 = 114, F4 = 115, F5 = 116, F6 = 117, F7 = 118, F8 = 119, F9 = 120,
              F10 = 121, F11 = 122, F12 = 123;
constexpr int letter(char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }
} // namespace key

// Message box flags and answers, with the values the program's callers use.
namespace mb {
constexpr int OKOnly = 0, OKCancel = 1, AbortRetryIgnore = 2, YesNoCancel = 3, YesNo = 4, RetryCancel = 5;
constexpr int Critical = 16, Question = 32, Exclamation = 48, Information = 64;
constexpr int OK = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7;
} // namespace mb

} // namespace vb
