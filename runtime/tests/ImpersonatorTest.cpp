// Scoped impersonation: what the thread runs as before, during and after.
#include <gtest/gtest.h>
#include <windows.h>

#include "runtime/Impersonator.h"

namespace {

// True when the calling thread has an impersonation token.
bool ThreadImpersonates()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    CloseHandle(token);
    return true;
}

SECURITY_IMPERSONATION_LEVEL ThreadImpersonationLevel()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return SecurityAnonymous;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &size);
    CloseHandle(token);
    return level;
}

struct ProcessToken {
    HANDLE handle = nullptr;
    ProcessToken() { OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &handle); }
    ~ProcessToken()
    {
        if (handle)
            CloseHandle(handle);
    }
};

}  // namespace

TEST(Impersonator, ThreadThatWasNotImpersonatingRunsAsItselfAfterwards)
{
    ASSERT_FALSE(ThreadImpersonates());
    ProcessToken token;
    ASSERT_NE(token.handle, nullptr);
    {
        Impersonator impersonator(token.handle);
        EXPECT_TRUE(impersonator.IsImpersonating());
        EXPECT_TRUE(ThreadImpersonates());
    }
    EXPECT_FALSE(ThreadImpersonates());
}

TEST(Impersonator, RestoresTheImpersonationTheThreadHadBefore)
{
    // An identification-level impersonation, told apart from the one the
    // Impersonator sets up by its level.
    ASSERT_TRUE(ImpersonateSelf(SecurityIdentification));
    ASSERT_EQ(ThreadImpersonationLevel(), SecurityIdentification);
    ProcessToken token;
    {
        Impersonator impersonator(token.handle);
        EXPECT_TRUE(impersonator.IsImpersonating());
        EXPECT_NE(ThreadImpersonationLevel(), SecurityIdentification);
        {
            Impersonator nested(token.handle);  // nesting: each level restores what it found
            EXPECT_TRUE(ThreadImpersonates());
        }
        EXPECT_TRUE(ThreadImpersonates());
    }
    EXPECT_EQ(ThreadImpersonationLevel(), SecurityIdentification);
    RevertToSelf();
    EXPECT_FALSE(ThreadImpersonates());
}

// An impersonation the scope cannot save (anonymous level: no one may open
// its token) used to be dropped: nothing was saved, the token given was
// impersonated and the end reverted the thread to the process identity.
TEST(Impersonator, ImpersonationThatCannotBeSavedIsLeftInPlace)
{
    auto anonymous = [] {
        HANDLE token = nullptr;
        bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
        DWORD error = GetLastError();
        if (opened)
            CloseHandle(token);
        return !opened && error == ERROR_CANT_OPEN_ANONYMOUS;
    };
    ASSERT_TRUE(ImpersonateSelf(SecurityAnonymous));
    ASSERT_TRUE(anonymous());
    ProcessToken token;
    {
        Impersonator impersonator(token.handle);
        EXPECT_FALSE(impersonator.IsImpersonating());
        EXPECT_TRUE(anonymous());
    }
    EXPECT_TRUE(anonymous());
    RevertToSelf();
    EXPECT_FALSE(ThreadImpersonates());
}

TEST(Impersonator, FailedImpersonationLeavesThreadAsItselfAndRestoresTheEarlierOne)
{
    ASSERT_TRUE(ImpersonateSelf(SecurityIdentification));
    {
        Impersonator impersonator(nullptr);
        EXPECT_FALSE(impersonator.IsImpersonating());
        EXPECT_FALSE(ThreadImpersonates());  // reverted by the scope, nothing on top
    }
    EXPECT_EQ(ThreadImpersonationLevel(), SecurityIdentification);
    RevertToSelf();
}

TEST(Impersonator, NoSessionMeansTheActiveConsoleSessionAndIsWrittenBack)
{
    uint32_t sessionId = 0xFFFFFFFF;
    HANDLE token = GetSessionUserToken(sessionId);
    EXPECT_EQ(sessionId, WTSGetActiveConsoleSessionId());
    if (token) {
        Impersonator impersonator(token);
        EXPECT_TRUE(impersonator.IsImpersonating());
        CloseHandle(token);
    }
}
