// The handle table and CloseHandle. Handle values are
// ((generation << kIndexBits) | (index + 1)) << 2: never 0, never
// INVALID_HANDLE_VALUE, multiples of 4 as on Windows, and a slot's generation
// moves on at each close so an old value no longer matches.
#include "platform/posix/internal.h"

#include <mutex>
#include <vector>

namespace w32 {
namespace {

constexpr unsigned kIndexBits = 16;
constexpr size_t kMaxHandles = (size_t(1) << kIndexBits) - 1;
constexpr uintptr_t kGenerationMask = (~uintptr_t(0)) >> (kIndexBits + 2 + 1);

struct Slot {
    std::shared_ptr<HandleObject> object;
    uintptr_t generation = 0;
};

struct Table {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::vector<size_t> free_slots;
};

// Leaked on purpose: another thread may still use it while exit() runs.
Table &table()
{
    static Table &t = *new Table;
    return t;
}

HANDLE encode(size_t index, uintptr_t generation)
{
    uintptr_t value = ((generation << kIndexBits) | (index + 1)) << 2;
    return reinterpret_cast<HANDLE>(value);
}

bool decode(HANDLE handle, size_t *index, uintptr_t *generation)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0 || handle == INVALID_HANDLE_VALUE)
        return false;
    value >>= 2;
    size_t slot = value & ((uintptr_t(1) << kIndexBits) - 1);
    if (slot == 0)
        return false;
    *index = slot - 1;
    *generation = value >> kIndexBits;
    return true;
}

Slot *find(Table &t, HANDLE handle)
{
    size_t index;
    uintptr_t generation;
    if (!decode(handle, &index, &generation) || index >= t.slots.size())
        return nullptr;
    Slot &slot = t.slots[index];
    if (!slot.object || slot.generation != generation)
        return nullptr;
    return &slot;
}

} // namespace

HANDLE handle_add(std::shared_ptr<HandleObject> object)
{
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    size_t index;
    if (!t.free_slots.empty()) {
        index = t.free_slots.back();
        t.free_slots.pop_back();
    } else {
        if (t.slots.size() >= kMaxHandles)
            return INVALID_HANDLE_VALUE;
        index = t.slots.size();
        t.slots.emplace_back();
    }
    Slot &slot = t.slots[index];
    slot.object = std::move(object);
    return encode(index, slot.generation);
}

std::shared_ptr<HandleObject> handle_get(HANDLE handle)
{
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    Slot *slot = find(t, handle);
    return slot ? slot->object : nullptr;
}

std::shared_ptr<HandleObject> handle_remove(HANDLE handle)
{
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    Slot *slot = find(t, handle);
    if (!slot)
        return nullptr;
    std::shared_ptr<HandleObject> object = std::move(slot->object);
    slot->object.reset();
    slot->generation = (slot->generation + 1) & kGenerationMask;
    t.free_slots.push_back(size_t(slot - t.slots.data()));
    return object;
}

HANDLE add_opened(DWORD err, const std::shared_ptr<HandleObject> &object)
{
    if (err != NO_ERROR) {
        set_error(err);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = handle_add(object);
    if (handle == INVALID_HANDLE_VALUE) {
        object->close();
        set_error(ERROR_TOO_MANY_OPEN_FILES);
    }
    return handle;
}

} // namespace w32

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    std::shared_ptr<w32::HandleObject> object = w32::handle_remove(hObject);
    if (!object)
        return w32::fail(ERROR_INVALID_HANDLE);
    object->close();
    return w32::succeed();
}
