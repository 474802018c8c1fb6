#include "platform/audio/portaudiohost.h"

#include <portaudio.h>

#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace audio::pa {
namespace {

std::mutex sessionMutex;
int sessionUsers = 0;

std::mutex quietMutex;
int quietDepth = 0;
int quietSaved = -1;

// ALSA reports every device it probes and every recovered underrun on the console through
// its error handler. The library is already loaded by PortAudio; it is looked up by name so
// the program does not link ALSA itself.
void alsaSilent(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsa()
{
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler")))
        set(&alsaSilent);
}

} // namespace

QuietConsole::QuietConsole()
{
    std::lock_guard lock(quietMutex);
    if (quietDepth++ > 0)
        return;
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    quietSaved = ::dup(2);
    if (quietSaved >= 0)
        ::dup2(null, 2);
    ::close(null);
}

QuietConsole::~QuietConsole()
{
    std::lock_guard lock(quietMutex);
    if (--quietDepth > 0)
        return;
    std::fflush(stderr);
    if (quietSaved >= 0) {
        ::dup2(quietSaved, 2);
        ::close(quietSaved);
        quietSaved = -1;
    }
}

bool acquire()
{
    std::lock_guard lock(sessionMutex);
    if (sessionUsers == 0) {
        silenceAlsa();
        // Never start a JACK server just to list devices.
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        QuietConsole quiet;
        if (Pa_Initialize() != paNoError)
            return false;
        silenceAlsa();
    }
    ++sessionUsers;
    return true;
}

void release()
{
    std::lock_guard lock(sessionMutex);
    if (sessionUsers <= 0)
        return;
    if (--sessionUsers == 0) {
        QuietConsole quiet;
        Pa_Terminate();
    }
}

std::vector<OutputDevice> outputDevices()
{
    std::vector<OutputDevice> list;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || info->maxOutputChannels < 2)
            continue;
        const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
        // The old OSS emulation only duplicates the ALSA devices.
        if (api && api->type == paOSS)
            continue;
        QString name = QString::fromLocal8Bit(info->name);
        if (api && api->type != paALSA)
            name += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(api->name));
        list.push_back({i, name});
    }
    return list;
}

int defaultOutputDevice()
{
    const PaDeviceIndex d = Pa_GetDefaultOutputDevice();
    if (d == paNoDevice)
        return -1;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(d);
    return info && info->maxOutputChannels >= 2 ? int(d) : -1;
}

} // namespace audio::pa
