#include "platform/gui/FileBodyStream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <mutex>

namespace {

using wharf::platform::FileVersion;

struct WharfFileBodyStream {
    GInputStream parent;
    int fd;
    uint64_t offset;
    uint64_t length;
    uint64_t done;
    FileVersion version;
};

struct WharfFileBodyStreamClass {
    GInputStreamClass parent;
};

G_DEFINE_TYPE(WharfFileBodyStream, wharf_file_body_stream, G_TYPE_INPUT_STREAM)

WharfFileBodyStream* bodyStream(gpointer stream) { return reinterpret_cast<WharfFileBodyStream*>(stream); }

void closeFile(WharfFileBodyStream* self) {
    if (self->fd < 0) return;
    ::close(self->fd);
    self->fd = -1;
}

gssize readBody(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable, GError** error) {
    WharfFileBodyStream* self = bodyStream(stream);
    if (g_cancellable_set_error_if_cancelled(cancellable, error)) return -1;
    const uint64_t left = self->length - self->done;
    if (left == 0 || count == 0) return 0;
    const std::size_t wanted = static_cast<std::size_t>(std::min<uint64_t>({count, left, SSIZE_MAX}));
    if (self->fd < 0) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CLOSED, "The stream is closed");
        return -1;
    }
    ssize_t n;
    do {
        n = ::pread(self->fd, buffer, wanted, static_cast<off_t>(self->offset + self->done));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int err = errno;
        g_set_error(error, G_IO_ERROR, g_io_error_from_errno(err), "The file could not be read: %s", g_strerror(err));
        return -1;
    }
    // Read, then asked: bytes read before a change count only while the
    // file is still the version it was.
    const auto now = wharf::platform::fileVersion(self->fd);
    if (n == 0 || !now || !(*now == self->version)) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, "The file changed while it was being read");
        return -1;
    }
    self->done += static_cast<uint64_t>(n);
    return n;
}

// The reads of all bodies take turns: one at a time, the next once WebKit
// has the last one's bytes (see the header), which is about as fast as the
// page's side takes them.
struct Turns {
    std::mutex mutex;
    bool busy = false;
    std::deque<GTask*> waiting;
};

Turns& turns() {
    static Turns* shared = new Turns;  // lives as long as the process
    return *shared;
}

struct ReadRequest {
    void* buffer;
    gsize count;
};

void readInThread(GTask* task, gpointer stream, gpointer data, GCancellable* cancellable) {
    const auto* request = static_cast<const ReadRequest*>(data);
    GError* error = nullptr;
    const gssize n = readBody(G_INPUT_STREAM(stream), request->buffer, request->count, cancellable, &error);
    if (n < 0)
        g_task_return_error(task, error);
    else
        g_task_return_int(task, n);
}

void startRead(GTask* task) {
    g_task_run_in_thread(task, readInThread);
    g_object_unref(task);
}

void readBodyAsync(GInputStream* stream, void* buffer, gsize count, int priority, GCancellable* cancellable,
                   GAsyncReadyCallback callback, gpointer data) {
    GTask* task = g_task_new(stream, cancellable, callback, data);
    g_task_set_priority(task, priority);
    g_task_set_task_data(task, new ReadRequest{buffer, count}, [](gpointer p) { delete static_cast<ReadRequest*>(p); });
    {
        std::lock_guard lock(turns().mutex);
        if (turns().busy) {
            turns().waiting.push_back(task);
            return;
        }
        turns().busy = true;
    }
    startRead(task);
}

gssize readBodyFinish(GInputStream*, GAsyncResult* result, GError** error) {
    const gssize n = g_task_propagate_int(G_TASK(result), error);
    // WebKit has this read's bytes: the next read goes.
    GTask* next = nullptr;
    {
        std::lock_guard lock(turns().mutex);
        if (turns().waiting.empty()) {
            turns().busy = false;
        } else {
            next = turns().waiting.front();
            turns().waiting.pop_front();
        }
    }
    if (next) startRead(next);
    return n;
}

gboolean closeBody(GInputStream* stream, GCancellable*, GError**) {
    closeFile(bodyStream(stream));
    return TRUE;
}

void finalizeBody(GObject* object) {
    closeFile(bodyStream(object));
    G_OBJECT_CLASS(wharf_file_body_stream_parent_class)->finalize(object);
}

void wharf_file_body_stream_class_init(WharfFileBodyStreamClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = finalizeBody;
    G_INPUT_STREAM_CLASS(klass)->read_fn = readBody;
    G_INPUT_STREAM_CLASS(klass)->read_async = readBodyAsync;
    G_INPUT_STREAM_CLASS(klass)->read_finish = readBodyFinish;
    G_INPUT_STREAM_CLASS(klass)->close_fn = closeBody;
}

void wharf_file_body_stream_init(WharfFileBodyStream* self) {
    self->fd = -1;
    self->offset = self->length = self->done = 0;
}

}  // namespace

namespace wharf::platform {

GInputStream* newFileBodyStream(int fd, uint64_t offset, uint64_t length, const FileVersion& version) {
    auto* self = bodyStream(g_object_new(wharf_file_body_stream_get_type(), nullptr));
    self->fd = fd;
    self->offset = offset;
    self->length = length;
    self->version = version;
    return G_INPUT_STREAM(self);
}

GInputStream* newFileBodyStream(SchemeResponse& response) {
    const int fd = response.bodyFile->release();
    const FileVersion version =
        response.bodyFileVersion ? *response.bodyFileVersion : fileVersion(fd).value_or(FileVersion{});
    return newFileBodyStream(fd, response.bodyFileOffset, response.bodyFileLength, version);
}

}  // namespace wharf::platform
