#include "platform/audio/serveroutputs.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdint>

namespace audio {
namespace {

struct Listing {
    std::vector<std::pair<std::uint32_t, ServerOutput>> sinks;
    bool done = false;
    bool failed = false;
};

void onSink(pa_context*, const pa_sink_info* info, int eol, void* user)
{
    auto* listing = static_cast<Listing*>(user);
    if (eol != 0) {
        listing->done = true;
        listing->failed = eol < 0;
        return;
    }
    if (!info || !info->name || !*info->name)
        return;
    QString description = info->description ? QString::fromUtf8(info->description).simplified() : QString();
    if (description.isEmpty())
        description = QString::fromUtf8(info->name);
    listing->sinks.push_back({info->index, {QByteArray(info->name), description}});
}

} // namespace

std::vector<ServerOutput> serverOutputs(int waitMs)
{
    std::vector<ServerOutput> result;
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop)
        return result;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Quenlow");
    Listing listing;
    // A server that is not running is not started for a list: the dialog then shows the other
    // devices only.
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const pa_usec_t until = pa_rtclock_now() + pa_usec_t(std::max(0, waitMs)) * PA_USEC_PER_MSEC;
        pa_operation* asked = nullptr;
        while (!listing.done) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !asked) {
                asked = pa_context_get_sink_info_list(context, &onSink, &listing);
                if (!asked)
                    break;
            }
            const pa_usec_t now = pa_rtclock_now();
            if (now >= until)
                break;
            // Each turn waits for the server no longer than what is left of the time allowed.
            if (pa_mainloop_prepare(loop, int(std::min<pa_usec_t>(until - now, 1000000))) < 0
                || pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (asked) {
            if (!listing.done)
                pa_operation_cancel(asked);
            pa_operation_unref(asked);
        }
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    if (!listing.done || listing.failed)
        return result; // a list cut short could number the outputs differently next time
    std::sort(listing.sinks.begin(), listing.sinks.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& [index, sink] : listing.sinks)
        result.push_back(std::move(sink));
    return result;
}

} // namespace audio
