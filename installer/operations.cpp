#include "installer/operations.h"

#include "installer/settings.h"

namespace {

std::u16string install_question(const std::u16string& game_dir) {
  return u"将汉化文本、UI 和显示组件安装到：\n" + game_dir + u"\n\n原文开关：" + selected_hotkey +
         u"\n汉化资源独立安装，原游戏文件保持原样。" + u"\n\n是否继续？";
}

std::u16string install_done() { return u"安装完成。请运行 VANROLauncher.exe；原文开关：" + selected_hotkey + u"。"; }

std::u16string verify_done() { return u"补丁及隔离资源校验通过。"; }

std::u16string uninstall_question(const std::u16string& game_dir) {
  return u"从以下目录移除本补丁：\n" + game_dir + u"\n\n安装记录和用户配置副本会继续保留。" + u"\n\n是否继续？";
}

std::u16string uninstall_question_at_entry(const std::u16string& game_dir) {
  return u"从以下目录移除本补丁：\n" + game_dir + u"\n\n原游戏 EXE 和 AdvData 资源保持原样。\n是否继续？";
}

std::u16string uninstall_done() { return u"已移除补丁。原游戏文件未改动，安装记录继续保留。"; }

void uninstall(const std::u16string& game_dir) { uninstall_patch(game_dir, false); }

}  // namespace

const OperationRow& operation_row(Operation operation) {
  static const OperationRow INSTALL = {
      u"--install", INSTALL_BUTTON_ID, install_question, nullptr, u"正在校验并独立安装…", install_done, u"", install_patch};
  static const OperationRow VERIFY = {
      u"--verify", VERIFY_BUTTON_ID, nullptr, nullptr, u"正在校验补丁和隔离资源…", verify_done, u"补丁及隔离资源校验通过。",
      verify_installation};
  static const OperationRow UNINSTALL = {
      u"--uninstall", UNINSTALL_BUTTON_ID, uninstall_question, uninstall_question_at_entry, u"正在校验并移除补丁…", uninstall_done,
      u"卸载完成。安装记录和用户配置副本仍保留在游戏目录。", uninstall};
  switch (operation) {
    case Operation::install:
      return INSTALL;
    case Operation::verify:
      return VERIFY;
    case Operation::uninstall:
      return UNINSTALL;
  }
  return VERIFY;  // not reached: every operation has its row
}
