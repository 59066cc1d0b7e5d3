// The few settings that survive a restart: the main window's placement, whether
// document windows were maximised, and the look of the empty client area.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <QColor>
#include <QFont>
#include <QString>

class QSettings;

namespace orvaldi::app {

// Where the main window was, in the ten-number text the settings keep:
// flags, show state, minimised x and y, maximised x and y, then the normal
// left, top, right and bottom edges.
struct WindowPlacement {
  static constexpr uint32_t kRestoreToMaximized = 2;  // flag bit: maximised when closed
  enum ShowState : uint32_t { kShowNormal = 1, kShowMinimized = 2, kShowMaximized = 3 };

  uint32_t flags = 0;
  uint32_t showState = kShowNormal;
  int minX = -1;
  int minY = -1;
  int maxX = -1;
  int maxY = -1;
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  bool operator==(const WindowPlacement&) const = default;
};

QString PlacementText(const WindowPlacement& placement);
// Nothing unless the text holds exactly ten comma-separated integers (the
// first two not negative); a damaged value then falls back to the default
// placement instead of putting the window somewhere odd.
std::optional<WindowPlacement> ParsePlacement(const QString& text);

// How the background picture fills the empty client area.
enum class PictureFit : int { kTile = 0, kCentre = 1, kStretch = 2 };

// The logo text's font when none was chosen: the application's own family,
// named, so that it can be written out and read back.
QFont DefaultLogoFont();

struct BackgroundSettings {
  QFont logoFont = DefaultLogoFont();
  QColor logoColor = QColor(0x9a, 0xa8, 0xb8);
  QColor backColor = QColor(0x5a, 0x6b, 0x7d);
  PictureFit fit = PictureFit::kTile;
  bool usePicture = false;
  QString fileName;

  bool operator==(const BackgroundSettings&) const = default;
};

struct ShellSettings {
  std::optional<WindowPlacement> placement;
  bool childMaximized = true;
  BackgroundSettings background;
};

// The per-user store: organisation "Local AppWizard-Generated Applications",
// application "Orvaldi".
std::unique_ptr<QSettings> OpenUserSettings();

// Reads the section "Settings"; missing or damaged values keep their defaults.
ShellSettings LoadShellSettings(QSettings& store);
void SaveWindowPlacement(QSettings& store, const WindowPlacement& placement);
void SaveChildWinState(QSettings& store, bool maximized);
void SaveBackground(QSettings& store, const BackgroundSettings& background);

}  // namespace orvaldi::app
