#include "tests/sign/SettingsFixtures.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

namespace rc_test {

namespace {

bool SetAccessList(const std::string& dir, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    const bool ok = SetFileSecurityA(dir.c_str(), DACL_SECURITY_INFORMATION, descriptor) != 0;
    LocalFree(descriptor);
    return ok;
}

} // namespace

void MakeFileReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY)) << path;
}

bool IsFileReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Everyone may read and list the folder, nobody add to it; the owner may
// still change the list back.
bool MakeFolderUnwritable(const std::string& dir, std::string& why) {
    if (!SetAccessList(dir, "D:P(A;;FRFX;;;WD)")) {
        why = "SetFileSecurity failed with error " + std::to_string(GetLastError());
        return false;
    }
    const std::string probe = dir + "\\probe";
    const HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        MakeFolderWritable(dir);
        why = "this system stores a folder's access list but does not enforce it (Wine): "
              "no folder can be made unwritable";
        return false;
    }
    return true;
}

void MakeFolderWritable(const std::string& dir) {
    SetAccessList(dir, "D:(A;OICI;FA;;;WD)");
}

} // namespace rc_test
