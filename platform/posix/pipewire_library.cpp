// The pw_* functions the audio group calls, each forwarding to libpipewire
// through dlsym. Everything else it uses of the headers (spa_*, and the
// methods of cores, registries, nodes and links) is inline. These
// definitions are not exported: the library, once loaded, resolves its own
// calls to itself.
#include "platform/posix/pipewire_library.h"

#include <dlfcn.h>
#include <pipewire/pipewire.h>

#include <cstdlib>
#include <mutex>

namespace {

void* library = nullptr;

template <typename Function>
Function* Resolve(const char* name) {
    return reinterpret_cast<Function*>(dlsym(library, name));
}

// Every function below, so that a library lacking one is refused at load
// rather than at its first call.
constexpr const char* kNames[] = {
    "pw_init", "pw_log_set_level", "pw_thread_loop_new", "pw_thread_loop_start", "pw_thread_loop_stop", "pw_thread_loop_destroy",
    "pw_thread_loop_lock", "pw_thread_loop_unlock", "pw_thread_loop_signal", "pw_thread_loop_timed_wait",
    "pw_thread_loop_get_loop", "pw_context_new", "pw_context_destroy", "pw_context_connect",
    "pw_core_disconnect", "pw_proxy_add_listener", "pw_proxy_destroy", "pw_proxy_get_bound_id",
    "pw_properties_new_dict", "pw_properties_set", "pw_properties_get", "pw_stream_new", "pw_stream_add_listener",
    "pw_stream_connect", "pw_stream_destroy", "pw_stream_dequeue_buffer", "pw_stream_queue_buffer",
    "pw_stream_get_node_id", "pw_stream_get_time_n",
};

}  // namespace

bool LoadPipeWireLibrary() {
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        library = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        for (const char* name : kNames)
            if (dlsym(library, name) == nullptr) return;
        pw_init(nullptr, nullptr);
        // Standard error carries the tool's status lines: the library says
        // nothing there unless asked to with PIPEWIRE_DEBUG.
        if (getenv("PIPEWIRE_DEBUG") == nullptr) pw_log_set_level(SPA_LOG_LEVEL_NONE);
        loaded = true;
    });
    return loaded;
}

#define PIPEWIRE_FUNCTION(result, name, parameters, arguments)                       \
    extern "C" __attribute__((visibility("hidden"))) result name parameters {      \
        static auto* const function = Resolve<decltype(name)>(#name);               \
        return function arguments;                                                  \
    }

PIPEWIRE_FUNCTION(void, pw_init, (int* argc, char** argv[]), (argc, argv))
PIPEWIRE_FUNCTION(void, pw_log_set_level, (enum spa_log_level level), (level))
PIPEWIRE_FUNCTION(struct pw_thread_loop*, pw_thread_loop_new, (const char* name, const struct spa_dict* props),
                  (name, props))
PIPEWIRE_FUNCTION(int, pw_thread_loop_start, (struct pw_thread_loop * loop), (loop))
PIPEWIRE_FUNCTION(void, pw_thread_loop_stop, (struct pw_thread_loop * loop), (loop))
PIPEWIRE_FUNCTION(void, pw_thread_loop_destroy, (struct pw_thread_loop * loop), (loop))
PIPEWIRE_FUNCTION(void, pw_thread_loop_lock, (struct pw_thread_loop * loop), (loop))
PIPEWIRE_FUNCTION(void, pw_thread_loop_unlock, (struct pw_thread_loop * loop), (loop))
PIPEWIRE_FUNCTION(void, pw_thread_loop_signal, (struct pw_thread_loop * loop, bool wait_for_accept),
                  (loop, wait_for_accept))
PIPEWIRE_FUNCTION(int, pw_thread_loop_timed_wait, (struct pw_thread_loop * loop, int wait_max_sec),
                  (loop, wait_max_sec))
PIPEWIRE_FUNCTION(struct pw_loop*, pw_thread_loop_get_loop, (struct pw_thread_loop * loop), (loop))
PIPEWIRE_FUNCTION(struct pw_context*, pw_context_new,
                  (struct pw_loop * main_loop, struct pw_properties* props, size_t user_data_size),
                  (main_loop, props, user_data_size))
PIPEWIRE_FUNCTION(void, pw_context_destroy, (struct pw_context * context), (context))
PIPEWIRE_FUNCTION(struct pw_core*, pw_context_connect,
                  (struct pw_context * context, struct pw_properties* properties, size_t user_data_size),
                  (context, properties, user_data_size))
PIPEWIRE_FUNCTION(int, pw_core_disconnect, (struct pw_core * core), (core))
PIPEWIRE_FUNCTION(void, pw_proxy_add_listener,
                  (struct pw_proxy * proxy, struct spa_hook* listener, const struct pw_proxy_events* events,
                   void* data),
                  (proxy, listener, events, data))
PIPEWIRE_FUNCTION(void, pw_proxy_destroy, (struct pw_proxy * proxy), (proxy))
PIPEWIRE_FUNCTION(uint32_t, pw_proxy_get_bound_id, (struct pw_proxy * proxy), (proxy))
PIPEWIRE_FUNCTION(struct pw_properties*, pw_properties_new_dict, (const struct spa_dict* dict), (dict))
PIPEWIRE_FUNCTION(int, pw_properties_set, (struct pw_properties * properties, const char* key, const char* value),
                  (properties, key, value))
PIPEWIRE_FUNCTION(const char*, pw_properties_get, (const struct pw_properties* properties, const char* key),
                  (properties, key))
PIPEWIRE_FUNCTION(struct pw_stream*, pw_stream_new,
                  (struct pw_core * core, const char* name, struct pw_properties* props), (core, name, props))
PIPEWIRE_FUNCTION(void, pw_stream_add_listener,
                  (struct pw_stream * stream, struct spa_hook* listener, const struct pw_stream_events* events,
                   void* data),
                  (stream, listener, events, data))
PIPEWIRE_FUNCTION(int, pw_stream_connect,
                  (struct pw_stream * stream, enum spa_direction direction, uint32_t target_id,
                   enum pw_stream_flags flags, const struct spa_pod** params, uint32_t n_params),
                  (stream, direction, target_id, flags, params, n_params))
PIPEWIRE_FUNCTION(void, pw_stream_destroy, (struct pw_stream * stream), (stream))
PIPEWIRE_FUNCTION(struct pw_buffer*, pw_stream_dequeue_buffer, (struct pw_stream * stream), (stream))
PIPEWIRE_FUNCTION(int, pw_stream_queue_buffer, (struct pw_stream * stream, struct pw_buffer* buffer),
                  (stream, buffer))
PIPEWIRE_FUNCTION(uint32_t, pw_stream_get_node_id, (struct pw_stream * stream), (stream))
PIPEWIRE_FUNCTION(int, pw_stream_get_time_n, (struct pw_stream * stream, struct pw_time* time, size_t size),
                  (stream, time, size))
