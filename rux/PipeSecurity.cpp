#include "rux/PipeSecurity.h"

namespace rux {

bool PipeSecurity::Build()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size ? size : 1);
    BOOL ok = size && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!ok) {
        SetLastError(error);
        return false;
    }
    PSID userSid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;

    DWORD systemSize = SECURITY_MAX_SID_SIZE;
    system_.resize(systemSize);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_.data(), &systemSize))
        return false;
    PSID systemSid = system_.data();

    DWORD aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(userSid) +
                    GetLengthSid(systemSid);
    acl_.resize(aclSize);
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, userSid) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, systemSid))
        return false;
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE))
        return false;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
}

}  // namespace rux
