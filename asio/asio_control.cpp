// The ASIO extension call and the control panel, which starts the settings program.
#include "asio_ours.h"

#include <cstdio>

namespace {

const char kSettingsProgram[] = "Nxsp2650.exe";
constexpr int kCommandLineBytes = 128;
constexpr int kDrvConfigArgument = 0;

// The settings program's command line. The 32-bit build starts it through a launcher
// (NX_CONTROL_PANEL_LAUNCHER, a build definition), which passes the rest on unchanged.
void FormatControlPanelCommand(char (&commandLine)[kCommandLineBytes])
{
#if defined(NX_CONTROL_PANEL_LAUNCHER)
    std::snprintf(commandLine, sizeof(commandLine), "%s %s DrvConfig %d", NX_CONTROL_PANEL_LAUNCHER,
                  kSettingsProgram, kDrvConfigArgument);
#else
    std::snprintf(commandLine, sizeof(commandLine), "%s DrvConfig %d", kSettingsProgram,
                  kDrvConfigArgument);
#endif
}

}  // namespace

ASIOError AsioOursBase::future(LONG selector, void* /*opt*/)
{
    switch (selector) {
    case kAsioSetInputMonitor:  // accepted; the device has nothing to switch
    case kAsioCanInputMonitor:
        return ASE_SUCCESS;
    case kAsioEnableTimeCodeRead:
    case kAsioDisableTimeCodeRead:
    case kAsioTransport:
    case kAsioSetInputGain:
    case kAsioGetInputMeter:
    case kAsioSetOutputGain:
    case kAsioGetOutputMeter:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
    case kAsioCanTransport:
    case kAsioCanInputGain:
    case kAsioCanInputMeter:
    case kAsioCanOutputGain:
    case kAsioCanOutputMeter:
        return ASE_NotPresent;
    default:
        return ASE_InvalidParameter;
    }
}

ASIOError AsioOurs::controlPanel()
{
    char commandLine[kCommandLineBytes];
    FormatControlPanelCommand(commandLine);
    // Started, not waited for; the host only learns of a failure through the box.
    if (WinExec(commandLine, SW_SHOW) < 32)
        MessageBoxA(nullptr, commandLine, nullptr, MB_OK);
    return ASE_OK;
}
