#include "alloc_fault.h"

#include <algorithm>
#include <array>
#include <cerrno>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
void *__wrap_realloc(void *block, size_t size);
void __wrap_free(void *block);
}

namespace {

// Fixed tables: the wrappers must not reach the heap themselves.
constexpr size_t kMaxNotes = 4096;

struct Notes {
    bool watching = false;
    int fail_at = 0;
    int calls = 0;
    size_t made = 0;
    size_t freed = 0;
    std::array<void *, kMaxNotes> live{};
    std::array<void *, kMaxNotes> gone{};
};

Notes notes;

// Whether this call is the one to fail.
bool next_fails()
{
    if (!notes.watching)
        return false;
    ++notes.calls;
    return notes.calls == notes.fail_at;
}

void note_made(void *block)
{
    if (notes.watching && block != nullptr && notes.made < kMaxNotes)
        notes.live[notes.made++] = block;
}

void note_freed(void *block)
{
    if (!notes.watching || block == nullptr)
        return;
    if (notes.freed < kMaxNotes)
        notes.gone[notes.freed++] = block;
    auto end = notes.live.begin() + notes.made;
    auto it = std::find(notes.live.begin(), end, block);
    if (it != end) {
        *it = *(end - 1);
        --notes.made;
    }
}

} // namespace

extern "C" void *__wrap_malloc(size_t size)
{
    if (next_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __real_malloc(size);
    note_made(block);
    return block;
}

// The compiler may turn a malloc and a clearing of the block into calloc.
extern "C" void *__wrap_calloc(size_t count, size_t size)
{
    if (next_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __real_calloc(count, size);
    note_made(block);
    return block;
}

extern "C" void *__wrap_realloc(void *block, size_t size)
{
    if (next_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *grown = __real_realloc(block, size);
    if (grown != nullptr) {
        note_freed(block);
        note_made(grown);
    }
    return grown;
}

extern "C" void __wrap_free(void *block)
{
    note_freed(block);
    __real_free(block);
}

namespace alloc_fault {

void watch(int fail_at)
{
    notes.fail_at = fail_at;
    notes.calls = 0;
    notes.made = 0;
    notes.freed = 0;
    notes.watching = true;
}

void stop()
{
    notes.watching = false;
}

int calls()
{
    return notes.calls;
}

std::vector<void *> outstanding()
{
    return std::vector<void *>(notes.live.begin(), notes.live.begin() + notes.made);
}

std::vector<void *> released()
{
    return std::vector<void *>(notes.gone.begin(), notes.gone.begin() + notes.freed);
}

} // namespace alloc_fault
