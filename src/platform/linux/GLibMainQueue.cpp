#include "platform/linux/GLibMainQueue.h"

#include <glib.h>

#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

// The sources of the tasks not yet run, each holding a reference; once closed, none
// is added.
struct GLibMainQueue::Waiting {
    std::mutex mutex;
    bool closed = false;
    std::set<GSource*> sources;
};

namespace {

// What a source owns: its task, and its place among the waiting.
struct Posted {
    MainQueue::Task task;
    std::shared_ptr<GLibMainQueue::Waiting> waiting;
    GSource* source = nullptr;
};

gboolean runTaskOnce(gpointer data) {
    static_cast<Posted*>(data)->task();
    return G_SOURCE_REMOVE;
}

// GLib calls it when the source goes, run or destroyed unrun; the task goes with it.
void deletePosted(gpointer data) {
    const std::unique_ptr<Posted> posted(static_cast<Posted*>(data));
    GSource* source = nullptr;
    {
        const std::lock_guard lock(posted->waiting->mutex);
        if (posted->waiting->sources.erase(posted->source) != 0) {
            source = posted->source;
        }
    }
    if (source != nullptr) {
        g_source_unref(source);
    }
}

// Attaches a one-shot source that owns the task; GLib frees it with the source.
// Posted work runs at the default priority so that it is not starved by redraws.
void attach(const std::shared_ptr<GLibMainQueue::Waiting>& waiting, GSource* rawSource,
            MainQueue::Task task) {
    const GSourcePtr source(rawSource);
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source.get(), &runTaskOnce,
        std::make_unique<Posted>(Posted{std::move(task), waiting, source.get()}).release(),
        &deletePosted);
    // Attached under the lock, so that close() finds every source attached or none.
    // (GLib calls deletePosted without its context's lock: the order stays this one.)
    const std::lock_guard lock(waiting->mutex);
    if (waiting->closed) {
        return;  // the task goes unrun, with the source, once the lock is let go
    }
    waiting->sources.insert(g_source_ref(source.get()));
    g_source_attach(source.get(), nullptr);
}

}  // namespace

GLibMainQueue::GLibMainQueue() : waiting_(std::make_shared<Waiting>()) {}

GLibMainQueue::~GLibMainQueue() {
    close();
}

void GLibMainQueue::post(Task task) {
    attach(waiting_, g_idle_source_new(), std::move(task));
}

void GLibMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    const auto millis = delay.count() < 0 ? 0 : delay.count();
    attach(waiting_, g_timeout_source_new(static_cast<guint>(millis)), std::move(task));
}

void GLibMainQueue::close() {
    std::set<GSource*> sources;
    {
        const std::lock_guard lock(waiting_->mutex);
        waiting_->closed = true;
        sources.swap(waiting_->sources);
    }
    // Outside the lock: destroying a task may post (and be dropped).
    for (GSource* source : sources) {
        g_source_destroy(source);
        g_source_unref(source);
    }
}

void GLibMainQueue::runFor(std::chrono::milliseconds slice) {
    runFor(slice, [] { return false; });
}

void GLibMainQueue::runFor(std::chrono::milliseconds slice, const std::function<bool()>& stop) {
    GMainContext* context = g_main_context_default();
    const gint64 deadline = g_get_monotonic_time() + slice.count() * 1000;
    for (;;) {
        const gint64 remaining = deadline - g_get_monotonic_time();
        if (remaining <= 0) {
            break;
        }
        // A wake-up at the deadline so that the blocking iteration below returns then.
        const GSourcePtr wakeUp(g_timeout_source_new(static_cast<guint>((remaining + 999) / 1000)));
        g_source_set_callback(
            wakeUp.get(), [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(wakeUp.get(), context);
        g_main_context_iteration(context, TRUE);
        g_source_destroy(wakeUp.get());
        if (stop()) {
            return;
        }
    }
    // Whatever is ready at the deadline runs too, as on one more turn of the loop.
    g_main_context_iteration(context, FALSE);
}

void GLibMainQueue::sleepFor(std::chrono::milliseconds pause) {
    std::this_thread::sleep_for(pause);
}

MainQueue::Clock::time_point GLibMainQueue::now() const {
    return Clock::now();
}

}  // namespace pagemate::linux_backend
