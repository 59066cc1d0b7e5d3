// Qt's own texts in Chinese: the buttons, file dialogs and menus Qt draws
// itself, to match the program's own texts.
#pragma once

class QDialog;
class QDialogButtonBox;
class QTranslator;

namespace orvaldi::app {

// Loads qtbase_zh_CN from Qt's translations folder and installs it in the
// application (which owns it from then on). Returns it, or null when the
// file is not there (Qt's texts then stay English).
QTranslator* InstallQtChineseTexts();

// "确定" and "取消" of `dialog`, accepting and rejecting it, whether or not
// Qt's texts could be loaded.
QDialogButtonBox* OkCancelButtons(QDialog* dialog);

}  // namespace orvaldi::app
