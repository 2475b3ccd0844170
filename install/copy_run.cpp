// Form1's OK handler: the copy run.
#include <windows.h>

#include "app/form1.h"
#include "install/addon_install.h"
#include "install/win32_files.h"

namespace app {

void Form1::Command1_Click() {
  const std::wstring sourceDir = install::SourceDirFrom(install::ExecutableDir());
  EnterState(WindowState::Copying);  // OK stays disabled from here on: the run happens once
  install::Win32Files files;
  install::InstallAddons(files, sourceDir, installDir);
  Sleep(2000);
  // Clicks made during the run must not act on the 終了 button that Done enables.
  DiscardPendingInput();
  EnterState(WindowState::Done);
}

}  // namespace app
