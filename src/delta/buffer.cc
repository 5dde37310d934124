#include "delta/buffer.h"

#include <cstring>

namespace tidewell {

buffer_t::buffer_t(size_t cap) {
  capacity = cap == 0 ? 8192 : cap;
  data.reset(new uint8_t[capacity]);
}

int buffer_resize(buffer_t* buffer, size_t capacity) {
  if (buffer->size != 0) return -1;
  if (capacity > buffer->capacity) {
    buffer->data.reset(new uint8_t[capacity]);
    buffer->capacity = capacity;
  }
  buffer->head = 0;
  return 0;
}

int fd_bio_load(fd_bio_t* bio, fd_t* fd, size_t capacity) {
  bio->fd = fd;
  bio->r_buffer = std::make_unique<buffer_t>(capacity);
  bio->w_buffer = std::make_unique<buffer_t>(capacity);
  return 0;
}

void fd_bio_unload(fd_bio_t* bio) {
  bio->r_buffer.reset();
  bio->w_buffer.reset();
  bio->fd = nullptr;
}

int fd_bio_read(fd_bio_t* bio, void* buffer, size_t length) {
  if (bio->fd == nullptr || !bio->r_buffer) return -1;
  buffer_t* rb = bio->r_buffer.get();
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (rb->size < length) {
    // Refill once. The read side never wraps: it is compacted to the front
    // here, and consumed from the head only.
    if (rb->head != 0) {
      memmove(rb->data.get(), rb->data.get() + rb->head, rb->size);
      rb->head = 0;
    }
    const int64_t n = fd_read(bio->fd, rb->data.get() + rb->size, rb->capacity - rb->size);
    if (n < 0) return -1;
    rb->size += static_cast<size_t>(n);
  }
  const size_t take = rb->size < length ? rb->size : length;
  memcpy(out, rb->data.get() + rb->head, take);
  rb->head += take;
  rb->size -= take;
  if (rb->size == 0) rb->head = 0;
  size_t done = take;
  while (done < length) {
    const int64_t n = fd_read(bio->fd, out + done, length - done);
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int fd_bio_flush(fd_bio_t* bio) {
  if (bio->fd == nullptr || !bio->w_buffer) return -1;
  buffer_t* wb = bio->w_buffer.get();
  if (wb->size == 0) return 0;
  const size_t first = wb->head + wb->size <= wb->capacity ? wb->size : wb->capacity - wb->head;
  if (fd_write(bio->fd, wb->data.get() + wb->head, first) < 0) return -1;
  if (first < wb->size && fd_write(bio->fd, wb->data.get(), wb->size - first) < 0) return -1;
  wb->size = 0;
  wb->head = 0;
  return 0;
}

int fd_bio_write(fd_bio_t* bio, const void* buffer, size_t length) {
  if (bio->fd == nullptr || !bio->w_buffer) return -1;
  buffer_t* wb = bio->w_buffer.get();
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  if (length <= wb->capacity - wb->size) {
    size_t tail = (wb->head + wb->size) % wb->capacity;
    const size_t first = length <= wb->capacity - tail ? length : wb->capacity - tail;
    memcpy(wb->data.get() + tail, in, first);
    memcpy(wb->data.get(), in + first, length - first);
    wb->size += length;
    return 0;
  }
  if (fd_bio_flush(bio) != 0) return -1;
  return fd_write(bio->fd, in, length) < 0 ? -1 : 0;
}

}  // namespace tidewell
