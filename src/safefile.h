// A whole-file save that survives a crash or a power cut at any moment.
#pragma once

#include <cstddef>

// Replaces the file at path with len bytes of data so that afterwards the file holds either its
// old content or data in full, whatever happens meanwhile: the data goes to a file of its own in
// the same folder (unnamed where the file system allows it), is flushed to storage, is renamed
// over path, and the folder is flushed. A new file gets mode 0644 less the umask; a replaced one
// keeps its mode. Leftovers of a save that was killed at the wrong moment (".<name>.tmp-*") are
// removed first. True on success; otherwise false with the reason in reason (NUL-terminated, at
// most size bytes), and no temporary file is left. Any thread; no locks.
bool saveFileAtomically(const char* path, const void* data, size_t len, char* reason, size_t size);
