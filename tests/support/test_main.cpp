// One main() for every test program: widgets need a QApplication, and tests run offscreen.
#include <QApplication>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

namespace {

// ALSA loads its plugin modules while PortAudio lists the devices, and unloads them when
// PortAudio ends. What their libraries keep for the life of the process (ffmpeg behind the AC3
// encoder, libpulse behind the sound server's device) would then be reported as leaks of
// modules no longer there, which no suppression can name. Loaded here once and never unloaded,
// that memory stays theirs.
void keepAlsaPluginsLoaded()
{
    void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_NOLOAD);
    if (!alsa)
        alsa = dlopen("libasound.so.2", RTLD_NOW);
    Dl_info info {};
    if (!alsa || !dladdr(dlsym(alsa, "snd_pcm_open"), &info) || !info.dli_fname)
        return;
    std::string dir = info.dli_fname;
    dir = dir.substr(0, dir.rfind('/')) + "/alsa-lib/";
    for (const char* module : {"libasound_module_pcm_a52.so", "libasound_module_pcm_pulse.so",
                               "libasound_module_ctl_pulse.so", "libasound_module_conf_pulse.so"})
        dlopen((dir + module).c_str(), RTLD_NOW | RTLD_NODELETE);
}

} // namespace

// The leak checker's options travel with every test program, so a program started by CTest, by
// an end-to-end script or by hand checks the same way.
extern "C" const char* __lsan_default_options()
{
    return "suppressions=" QUENLOW_SOURCE_DIR "/tests/support/lsan.supp:print_suppressions=0";
}

// Likewise the thread checker's (a build of scripts/build tsan): races inside the libraries we call
// (Qt's own threads, uninstrumented, use their own locks), none of ours.
extern "C" const char* __tsan_default_options()
{
    return "suppressions=" QUENLOW_SOURCE_DIR "/tests/support/tsan.supp:print_suppressions=0:die_after_fork=0";
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    keepAlsaPluginsLoaded();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
