#pragma once

// Where the status window's controls stand. Placements are kept in twips, the
// unit the form was laid out in, and turned into logical pixels at 15 twips
// per pixel (96 dpi); Qt scales logical pixels by the display's pixel ratio.

#include <QRect>
#include <QSize>

namespace quillpost::window {

inline constexpr int kTwipsPerPixel = 15;

// A rectangle in twips: left, top, width, height.
struct TwipRect {
  int left;
  int top;
  int width;
  int height;

  [[nodiscard]] constexpr QRect ToPixels() const {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
  }
};

inline constexpr int kClientWidthTwips = 5640;
inline constexpr int kClientHeightTwips = 3840;

inline constexpr TwipRect kListIncomingPlacement{120, 120, 5415, 2985};
inline constexpr TwipRect kResetPlacement{120, 3240, 1695, 495};
inline constexpr TwipRect kHidePlacement{1920, 3240, 1815, 495};
inline constexpr TwipRect kQuitPlacement{3840, 3240, 1695, 495};

[[nodiscard]] constexpr QSize ClientSize() {
  return {kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel};
}

}  // namespace quillpost::window
