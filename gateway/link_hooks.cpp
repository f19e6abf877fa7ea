#include "link_hooks.h"

#include "qor_dll.h"

namespace qor::gateway {

std::string ModuleErrorText(int /*port*/, int status, int error) {
    bool module_error = status == QOR_STATUS_REPLY_FAULT && error != QOR_ERROR_NO_REPLY &&
                        error != QOR_ERROR_REPLY_CHECKSUM;
    if (!module_error) {
        return "";
    }
    // The library keeps only the character at index 3 of "?1 RANGE".
    if (error > ' ' && error < 127) {
        return std::string(1, static_cast<char>(error));
    }
    return "code " + std::to_string(error);
}

std::string LinkFailureText(int /*port*/, int status, int error) {
    if (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_NOT_WRITTEN) {
        return "frame not written (port cannot be opened, or the link failed)";
    }
    if (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_NO_REPLY) {
        return "no complete reply within the link's time-out";
    }
    return "status " + std::to_string(status) + ", error " + std::to_string(error);
}

bool InstallLinkTrace(int /*port*/, const std::string & /*link_name*/) {
    return false;
}

void RemoveLinkTrace(int /*port*/) {}

}  // namespace qor::gateway
