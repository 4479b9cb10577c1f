#include "platform/linux/GLibMainQueue.h"

#include <glib.h>

#include <memory>
#include <thread>

#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

gboolean runTaskOnce(gpointer data) {
    (*static_cast<MainQueue::Task*>(data))();
    return G_SOURCE_REMOVE;
}

void deleteTask(gpointer data) {
    std::unique_ptr<MainQueue::Task>(static_cast<MainQueue::Task*>(data));
}

// Attaches a one-shot source that owns the task; GLib frees it with the source.
// Posted work runs at the default priority so that it is not starved by redraws.
void attach(GSource* rawSource, MainQueue::Task task) {
    const GSourcePtr source(rawSource);
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_set_callback(source.get(), &runTaskOnce,
                          std::make_unique<MainQueue::Task>(std::move(task)).release(),
                          &deleteTask);
    g_source_attach(source.get(), nullptr);
}

}  // namespace

void GLibMainQueue::post(Task task) {
    attach(g_idle_source_new(), std::move(task));
}

void GLibMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    const auto millis = delay.count() < 0 ? 0 : delay.count();
    attach(g_timeout_source_new(static_cast<guint>(millis)), std::move(task));
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
