// future selectors and the control panel, which starts the settings program.
#include "driver_host.h"
#include "nxkd_sim.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DriverControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        nxsim::Simulator::Instance().Reset();
        platform_test::ClearMessageBoxes();
        platform_test::ClearWinExecCalls();
        const char* path = std::getenv("PATH");
        savedPath = path != nullptr ? path : "";
    }
    void TearDown() override
    {
        if (driver != nullptr)
            driver->Release();
        setenv("PATH", savedPath.c_str(), 1);
        if (!programDir.empty()) {
            unlink((programDir + "/Nxsp2650.exe").c_str());
            rmdir(programDir.c_str());
        }
    }

    // An empty directory of our own, to put a settings program in or to search in vain.
    std::string MakeProgramDir()
    {
        char pattern[] = "/tmp/nx_control_XXXXXX";
        const char* dir = mkdtemp(pattern);
        EXPECT_NE(dir, nullptr);
        programDir = dir != nullptr ? dir : "";
        return programDir;
    }

    DriverLibrary library;
    IASIO* driver = nullptr;
    std::string savedPath;
    std::string programDir;
};

TEST_F(DriverControl, FutureAnswersEverySelectorWithoutTouchingTheDevice)
{
    nxsim::Simulator::Instance().AddDevice(1, nxsim::DeviceConfig{});
    driver = library.CreateDriver();
    ASSERT_NE(driver, nullptr);
    nxsim::Simulator::Instance().ClearLog();

    struct Case {
        LONG selector;
        ASIOError result;
    };
    const Case cases[] = {
        {kAsioEnableTimeCodeRead, ASE_NotPresent}, {kAsioDisableTimeCodeRead, ASE_NotPresent},
        {kAsioSetInputMonitor, ASE_SUCCESS},       {kAsioTransport, ASE_NotPresent},
        {kAsioSetInputGain, ASE_NotPresent},       {kAsioGetInputMeter, ASE_NotPresent},
        {kAsioSetOutputGain, ASE_NotPresent},      {kAsioGetOutputMeter, ASE_NotPresent},
        {kAsioCanInputMonitor, ASE_SUCCESS},       {kAsioCanTimeInfo, ASE_NotPresent},
        {kAsioCanTimeCode, ASE_NotPresent},        {kAsioCanTransport, ASE_NotPresent},
        {kAsioCanInputGain, ASE_NotPresent},       {kAsioCanInputMeter, ASE_NotPresent},
        {kAsioCanOutputGain, ASE_NotPresent},      {kAsioCanOutputMeter, ASE_NotPresent},
        {0, ASE_InvalidParameter},                 {-1, ASE_InvalidParameter},
        {17, ASE_InvalidParameter},                {kAsioSetIoFormat, ASE_InvalidParameter},
        {kAsioGetIoFormat, ASE_InvalidParameter},  {kAsioCanDoIoFormat, ASE_InvalidParameter},
    };
    // The parameters are never read: a pointer that must not be touched proves it.
    void* const poison = reinterpret_cast<void*>(static_cast<uintptr_t>(0x10));
    for (const Case& c : cases) {
        EXPECT_EQ(driver->future(c.selector, poison), c.result) << "selector " << c.selector;
        EXPECT_EQ(driver->future(c.selector, nullptr), c.result) << "selector " << c.selector;
    }
    EXPECT_TRUE(nxsim::Simulator::Instance().Log().empty());
}

TEST_F(DriverControl, FutureNeedsNoDevice)
{
    driver = library.CreateDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->future(kAsioCanInputMonitor, nullptr), ASE_SUCCESS);
    EXPECT_EQ(driver->future(kAsioCanTimeCode, nullptr), ASE_NotPresent);
    EXPECT_EQ(driver->future(0, nullptr), ASE_InvalidParameter);
}

TEST_F(DriverControl, ControlPanelStartsTheSettingsProgramFoundOnThePath)
{
    const std::string dir = MakeProgramDir();
    const std::string program = dir + "/Nxsp2650.exe";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nexit 0\n";
    }
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    setenv("PATH", (dir + ":" + savedPath).c_str(), 1);

    driver = library.CreateDriver();  // no device: the control panel does not need one
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->controlPanel(), ASE_OK);

    const auto calls = platform_test::WinExecCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].commandLine, "Nxsp2650.exe DrvConfig 0");
    EXPECT_EQ(calls[0].show, static_cast<UINT>(SW_SHOW));
    EXPECT_GE(calls[0].result, 32u);
    EXPECT_TRUE(platform_test::MessageBoxes().empty());
}

TEST_F(DriverControl, ControlPanelWithoutTheProgramShowsTheCommandLineAndStillSucceeds)
{
    setenv("PATH", MakeProgramDir().c_str(), 1);
    nxsim::Simulator::Instance().AddDevice(1, nxsim::DeviceConfig{});
    driver = library.CreateDriver();
    ASSERT_NE(driver, nullptr);

    EXPECT_EQ(driver->controlPanel(), ASE_OK);

    const auto calls = platform_test::WinExecCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].commandLine, "Nxsp2650.exe DrvConfig 0");
    EXPECT_LT(calls[0].result, 32u);
    const auto boxes = platform_test::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, "Nxsp2650.exe DrvConfig 0");
    EXPECT_FALSE(boxes[0].hasCaption);
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
}

}  // namespace
