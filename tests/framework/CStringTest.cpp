#include "framework/CString.h"

#include <gtest/gtest.h>

TEST(CString, FindIsPlainCaseSensitiveAndUnanchored)
{
    const CString s("ab://cd://ef");
    EXPECT_EQ(s.Find("://"), 2);
    EXPECT_EQ(s.Find("://", 3), 7);
    EXPECT_EQ(s.Find("//X"), -1);
    EXPECT_EQ(s.Find('D'), -1);
    EXPECT_EQ(s.ReverseFind('/'), 9);
    EXPECT_EQ(s.Find('x', 99), -1);
}

TEST(CString, CutsClampOutOfRangeCounts)
{
    const CString s("hello");
    EXPECT_EQ(s.Left(2), "he");
    EXPECT_EQ(s.Left(99), "hello");
    EXPECT_EQ(s.Mid(3), "lo");
    EXPECT_EQ(s.Mid(5), "");
    EXPECT_EQ(s.Mid(1, 2), "el");
    EXPECT_EQ(s.Mid(4, 9), "o");
    EXPECT_EQ(s.Right(3), "llo");
    EXPECT_EQ(s.Right(0), "");
}

TEST(CString, HasValueSemantics)
{
    CString a("x");
    CString b = a;
    b += "y";
    EXPECT_EQ(a, "x");
    EXPECT_EQ(b, "xy");
    EXPECT_EQ("<" + b + '>', "<xy>");
    EXPECT_EQ(CString(nullptr), "");
    EXPECT_EQ(CString("abc", 2).GetLength(), 2);
}
