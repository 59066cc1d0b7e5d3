#include "app/settings.h"

#include <QFontInfo>
#include <QGuiApplication>
#include <QSettings>
#include <QStringList>

namespace orvaldi::app {
namespace {

const char* const kOrganisation = "Local AppWizard-Generated Applications";
const char* const kApplication = "Orvaldi";

const char* const kPlacementKey = "Settings/TVWindowPos";
const char* const kChildStateKey = "Settings/TVChildWinState";
const char* const kLogoFontKey = "Settings/TVLogoFont";
const char* const kLogoColorKey = "Settings/TVLogoColor";
const char* const kBackColorKey = "Settings/TVBackColor";
const char* const kDispTypeKey = "Settings/TVDispType";
const char* const kBkBitmapKey = "Settings/TVBkBitmap";
const char* const kFileNameKey = "Settings/TVFileName";

QColor ColorValue(const QSettings& store, const char* key, const QColor& fallback) {
  const QColor color(store.value(key).toString());
  return color.isValid() ? color : fallback;
}

// What QFont::fromString accepts without complaint: a family first, then
// either nothing more (a point size at most) or the full list of fields.
// Anything else would be refused with a warning on every start.
bool IsFontDescription(const QString& text) {
  const QStringList fields = text.trimmed().split(',');
  const qsizetype count = fields.size();
  return !fields.front().trimmed().isEmpty() && (count <= 2 || (count >= 10 && count <= 17));
}

}  // namespace

QFont DefaultLogoFont() {
  QFont font = QGuiApplication::font();
  font.setPointSize(28);
  font.setBold(true);
  // Resolving a family needs the font database, which only a running
  // application has.
  if (font.family().isEmpty() && qGuiApp) font.setFamily(QFontInfo(font).family());
  return font;
}

QString PlacementText(const WindowPlacement& p) {
  return QString("%1,%2,%3,%4,%5,%6,%7,%8,%9,%10")
      .arg(p.flags)
      .arg(p.showState)
      .arg(p.minX)
      .arg(p.minY)
      .arg(p.maxX)
      .arg(p.maxY)
      .arg(p.left)
      .arg(p.top)
      .arg(p.right)
      .arg(p.bottom);
}

std::optional<WindowPlacement> ParsePlacement(const QString& text) {
  const QStringList parts = text.split(',');
  if (parts.size() != 10) return std::nullopt;
  int numbers[10] = {};
  for (int i = 0; i < 10; ++i) {
    bool ok = false;
    numbers[i] = parts[i].trimmed().toInt(&ok);
    if (!ok) return std::nullopt;
  }
  if (numbers[0] < 0 || numbers[1] < 0) return std::nullopt;
  WindowPlacement p;
  p.flags = static_cast<uint32_t>(numbers[0]);
  p.showState = static_cast<uint32_t>(numbers[1]);
  p.minX = numbers[2];
  p.minY = numbers[3];
  p.maxX = numbers[4];
  p.maxY = numbers[5];
  p.left = numbers[6];
  p.top = numbers[7];
  p.right = numbers[8];
  p.bottom = numbers[9];
  return p;
}

std::unique_ptr<QSettings> OpenUserSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
}

ShellSettings LoadShellSettings(QSettings& store) {
  ShellSettings settings;
  settings.placement = ParsePlacement(store.value(kPlacementKey).toString());
  settings.childMaximized = store.value(kChildStateKey, 1).toInt() != 0;

  BackgroundSettings& bg = settings.background;
  const QString fontText = store.value(kLogoFontKey).toString();
  QFont font;
  if (IsFontDescription(fontText) && font.fromString(fontText)) bg.logoFont = font;
  bg.logoColor = ColorValue(store, kLogoColorKey, bg.logoColor);
  bg.backColor = ColorValue(store, kBackColorKey, bg.backColor);
  bool ok = false;
  const int fit = store.value(kDispTypeKey).toInt(&ok);
  if (ok && fit >= 0 && fit <= static_cast<int>(PictureFit::kStretch)) bg.fit = static_cast<PictureFit>(fit);
  bg.usePicture = store.value(kBkBitmapKey, 0).toInt() != 0;
  bg.fileName = store.value(kFileNameKey).toString();
  return settings;
}

void SaveWindowPlacement(QSettings& store, const WindowPlacement& placement) {
  store.setValue(kPlacementKey, PlacementText(placement));
}

void SaveChildWinState(QSettings& store, bool maximized) { store.setValue(kChildStateKey, maximized ? 1 : 0); }

void SaveBackground(QSettings& store, const BackgroundSettings& bg) {
  // A font without a family name has no description the next start reads.
  QFont font = bg.logoFont;
  if (font.family().isEmpty()) font.setFamily(QFontInfo(font).family());
  store.setValue(kLogoFontKey, font.toString());
  store.setValue(kLogoColorKey, bg.logoColor.name());
  store.setValue(kBackColorKey, bg.backColor.name());
  store.setValue(kDispTypeKey, static_cast<int>(bg.fit));
  store.setValue(kBkBitmapKey, bg.usePicture ? 1 : 0);
  store.setValue(kFileNameKey, bg.fileName);
}

}  // namespace orvaldi::app
