// CreateMailslotA, GetMailslotInfo and SetSecurityInfo.
#include "file_name.h"
#include "handle_table.h"
#include "last_error.h"
#include "mailslot_object.h"

using namespace w32;

extern "C" HANDLE CreateMailslotA(LPCSTR lpName, DWORD nMaxMessageSize, DWORD lReadTimeout,
                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    (void)lpSecurityAttributes;
    FileName name;
    DWORD err = parse_file_name(lpName, &name);
    // A mailslot is made on this machine only, never by broadcast.
    if (err == NO_ERROR && (name.kind != NameKind::Mailslot || name.broadcast))
        err = ERROR_INVALID_NAME;
    SlotPlace place;
    if (err == NO_ERROR)
        err = find_slot_place(name.slot, MissingDir::Create, &place);
    UniqueFd holder;
    if (err == NO_ERROR)
        err = claim_slot_name(place, &holder);
    std::shared_ptr<MailslotServer> slot;
    if (err == NO_ERROR) {
        slot = std::make_shared<MailslotServer>(std::move(holder), FileEntry::place(place, name.slot),
                                                nMaxMessageSize, lReadTimeout);
        err = slot->start_receiving();
    }
    if (err != NO_ERROR) {
        if (slot)
            slot->close();
        set_error(err);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = handle_add(slot);
    if (handle == INVALID_HANDLE_VALUE) {
        slot->close();
        set_error(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    set_error(NO_ERROR);
    return handle;
}

extern "C" BOOL GetMailslotInfo(HANDLE hMailslot, LPDWORD lpMaxMessageSize, LPDWORD lpNextSize,
                                LPDWORD lpMessageCount, LPDWORD lpReadTimeout)
{
    std::shared_ptr<HandleObject> object = handle_get(hMailslot);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    auto *slot = dynamic_cast<MailslotServer *>(object.get());
    if (!slot)
        return fail(ERROR_INVALID_FUNCTION);
    DWORD err = slot->info(lpMaxMessageSize, lpNextSize, lpMessageCount, lpReadTimeout);
    return err == NO_ERROR ? succeed() : fail(err);
}

// Only what the program needs: a null DACL on a mailslot, which opens it to
// every local account. Any other security change is not supported.
extern "C" DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                                 SECURITY_INFORMATION SecurityInfo, PSID psidOwner,
                                 PSID psidGroup, PACL pDacl, PACL pSacl)
{
    DWORD err = NO_ERROR;
    std::shared_ptr<HandleObject> object = handle_get(handle);
    auto *slot = dynamic_cast<MailslotServer *>(object.get());
    if (!object)
        err = ERROR_INVALID_HANDLE;
    else if (!slot || ObjectType != SE_KERNEL_OBJECT || SecurityInfo != DACL_SECURITY_INFORMATION ||
             psidOwner || psidGroup || pDacl || pSacl)
        err = ERROR_NOT_SUPPORTED;
    else
        err = slot->open_to_everyone();
    set_error(err);
    return err;
}
