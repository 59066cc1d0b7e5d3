// The prompter seam every GUI test relies on: while a scripted prompter is
// installed, no real box opens and each question gets the scripted answer.
#include <gtest/gtest.h>

#include "gui_support.h"

namespace orvaldi::test {
namespace {

TEST(Prompter, ScriptedAnswersAreGivenInOrderAndRecorded) {
  {
    ScriptedPrompter prompter;
    prompter.answers = {QMessageBox::No, QMessageBox::Yes};
    EXPECT_EQ(&app::CurrentPrompter(), &prompter);
    EXPECT_EQ(app::CurrentPrompter().ask(nullptr, "t", "one", QMessageBox::Yes | QMessageBox::No), QMessageBox::No);
    app::CurrentPrompter().message(nullptr, "error", "没有选择磁盘");
    EXPECT_EQ(app::CurrentPrompter().ask(nullptr, "t", "two", QMessageBox::Yes | QMessageBox::No), QMessageBox::Yes);
    ASSERT_EQ(prompter.shown.size(), 3u);
    EXPECT_EQ(prompter.shown[1].text, QString("没有选择磁盘"));
  }
  EXPECT_EQ(dynamic_cast<ScriptedPrompter*>(&app::CurrentPrompter()), nullptr);
}

}  // namespace
}  // namespace orvaldi::test
