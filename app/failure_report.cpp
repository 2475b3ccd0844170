#include "app/failure_report.h"

#include "app/failure_text.h"
#include "app/texts.h"

namespace app {

void ReportFailureAndExit(HWND owner, const common::SetupError& error) {
  const std::wstring text = FormatFailureReport(error);
  MessageBoxW(owner, text.c_str(), kFormCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  ExitProcess(kExitFailure);
}

}  // namespace app
