#include <cstdint>
#include <string>

#include <windows.h>
#include <aclapi.h>

#include "file_replace.h"
#include "system_error_text.h"
#include "unique_handle.h"
#include "utf16_win32.h"

namespace talvex::detail {
namespace {

std::string ErrorText(DWORD error) { return SystemErrorText(error); }

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

std::string FolderPrefixOf(const std::string& path) {
    std::size_t slash = LastSeparator(path);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& path) {
    std::size_t slash = LastSeparator(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why creating a file in a folder failed, in the user's terms.
std::string CreateFailureReason(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED: return "read-only folder";
    case ERROR_WRITE_PROTECT: return "read-only medium";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return "no such folder";
    default: return "cannot create a file beside it: " + ErrorText(error);
    }
}

// The old file's access rights, when they are its own rather than inherited
// from the folder (inheritance turned off). A temporary file in the folder
// would otherwise start with the folder's, wider rights while it holds the
// content, and keep them after the rename.
class OwnAccessRights {
public:
    OwnAccessRights(const std::wstring& path, bool exists) {
        if (!exists) return;
        PACL dacl = nullptr;
        if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor_) != ERROR_SUCCESS) {
            descriptor_ = nullptr;
            return;
        }
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (!GetSecurityDescriptorControl(descriptor_, &control, &revision) ||
            (control & SE_DACL_PROTECTED) == 0) {
            LocalFree(descriptor_);
            descriptor_ = nullptr;
        }
    }
    OwnAccessRights(const OwnAccessRights&) = delete;
    OwnAccessRights& operator=(const OwnAccessRights&) = delete;
    ~OwnAccessRights() {
        if (descriptor_) LocalFree(descriptor_);
    }
    // Null when the file takes the folder's rights.
    SECURITY_ATTRIBUTES* Attributes() {
        if (!descriptor_) return nullptr;
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
        return &attributes_;
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

} // namespace

void RemoveDeadLeftovers(const std::string& target) {
    const auto folder = WideName(FolderPrefixOf(target));
    const auto pattern = WideName(target + ".tmp*");
    if (!folder || !pattern) return;
    const std::string base = BaseNameOf(target);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(pattern->c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    const unsigned long self = GetCurrentProcessId();
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
            continue;
        }
        const auto name = Utf8Name(found.cFileName);
        if (!name) continue;
        const unsigned long pid = LeftoverPid(*name, base);
        if (pid == 0 || pid == self) continue;
        bool gone;
        {
            const UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                   FALSE, static_cast<DWORD>(pid)));
            if (!process.Valid()) {
                // Access denied means a live process of another user.
                gone = GetLastError() == ERROR_INVALID_PARAMETER;
            } else {
                // A process that ended stays openable while a handle to it
                // is held.
                gone = WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
            }
        }
        // Best effort: a leftover that cannot be removed does no harm.
        if (gone) DeleteFileW((*folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

const char* NativeLineEnd() { return "\r\n"; }

bool ReplaceFileDurably(const std::string& path, const std::string& content, std::string* whyNot) {
    auto fail = [whyNot](std::string reason) {
        if (whyNot) *whyNot = std::move(reason);
        return false;
    };
    std::string notConverted;
    const auto widePath = WideName(path, &notConverted);
    if (!widePath) return fail(notConverted);
    DWORD attributes = GetFileAttributesW(widePath->c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return fail("not a regular file but a folder");
        if (attributes & FILE_ATTRIBUTE_READONLY) return fail("read-only file");
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return fail(CreateFailureReason(error));
    }

    RemoveDeadLeftovers(path);

    // The copy has the old file's marks and own access rights from the
    // start, before it holds any of the content.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD createAttributes =
        exists && (attributes & kSettable) ? (attributes & kSettable) : FILE_ATTRIBUTE_NORMAL;
    OwnAccessRights rights(*widePath, exists);
    std::string tempPath;
    std::wstring wideTemp;
    UniqueHandle file;
    for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
        tempPath = TempFileName(path, GetCurrentProcessId(), attempt);
        // The path converted above; its suffix is ASCII.
        wideTemp = WideName(tempPath).value_or(std::wstring());
        file = UniqueHandle(CreateFileW(wideTemp.c_str(), GENERIC_WRITE, 0, rights.Attributes(),
                                        CREATE_NEW, createAttributes, nullptr));
        if (!file.Valid() && GetLastError() != ERROR_FILE_EXISTS) {
            return fail(CreateFailureReason(GetLastError()));
        }
    }
    if (!file.Valid()) return fail("no free name for a temporary file beside it");
    TempFileGuard guard(tempPath);

    NotifyTempFile(TempStage::Created, tempPath);
    if (!WriteAll(file.Get(), content)) return fail("write failed: " + ErrorText(GetLastError()));
    NotifyTempFile(TempStage::Written, tempPath);
    if (!FlushFileBuffers(file.Get())) return fail("write failed: " + ErrorText(GetLastError()));
    if (!file.Close()) return fail("write failed: " + ErrorText(GetLastError()));
    // Marks that CreateFile does not take (compressed and the like) carry
    // over afterwards, as before.
    if (exists && (attributes & ~kSettable) != 0 && attributes != FILE_ATTRIBUTE_NORMAL) {
        SetFileAttributesW(wideTemp.c_str(), attributes);
    }
    if (!MoveFileExW(wideTemp.c_str(), widePath->c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return fail("cannot replace the file: " + ErrorText(GetLastError()));
    }
    guard.Release();
    return true;
}

} // namespace talvex::detail
