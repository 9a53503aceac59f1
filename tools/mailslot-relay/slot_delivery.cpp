#include "slot_delivery.h"

#include <dirent.h>
#include <strings.h>

#include "platform/platform.h"
#include "platform/posix/layer_shared.h"

namespace relay {
namespace {

HANDLE open_local_slot(const std::string &slot)
{
    std::string path = "\\\\.\\mailslot\\" + slot;
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
}

// The name under which a slot called `slot`, in any case, exists here; ""
// when there is none.
std::string existing_slot_name(const std::string &slot)
{
    std::string dir_path = w32::machine_root_path() + "/" + w32::kMailslotDir;
    DIR *dir = opendir(dir_path.c_str());
    if (!dir)
        return "";
    std::string found;
    while (struct dirent *entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, slot.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

} // namespace

bool deliver_to_local_slot(const std::string &slot, const std::vector<uint8_t> &data)
{
    HANDLE h = open_local_slot(slot);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        std::string other_case = existing_slot_name(slot);
        if (!other_case.empty() && other_case != slot)
            h = open_local_slot(other_case);
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, data.data(), DWORD(data.size()), &written, NULL);
    CloseHandle(h);
    return ok && written == data.size();
}

void SlotDelivery::start()
{
    thread_ = std::thread([this] { run(); });
}

void SlotDelivery::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void SlotDelivery::enqueue(std::string slot, std::vector<uint8_t> data)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() < kQueueMax) {
            queue_.push_back(Message{std::move(slot), std::move(data)});
            wake_.notify_one();
            return;
        }
    }
    ++counters_->dropped;
}

void SlotDelivery::run()
{
    for (;;) {
        Message message;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            message = std::move(queue_.front());
            queue_.pop_front();
        }
        if (deliver_to_local_slot(message.slot, message.data))
            ++counters_->delivered;
        else
            ++counters_->dropped;
    }
}

} // namespace relay
