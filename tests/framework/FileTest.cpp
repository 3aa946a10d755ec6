// CFile and CFileException over real files of the test prefix.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/File.h"
#include "support/Files.h"

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szFolder[MAX_PATH];
        GetTempPathA(sizeof(szFolder), szFolder);
        char szPath[MAX_PATH];
        GetTempFileNameA(szFolder, "cft", 0, szPath);
        m_strPath = szPath;
    }
    void TearDown() override { DeleteFileA(m_strPath.c_str()); }

    std::string m_strPath;
};

TEST_F(FileTest, CreateTruncatesAndWritesAppendAtTheEnd)
{
    ASSERT_TRUE(WriteWholeFile(m_strPath, "previous contents"));
    CFile file;
    ASSERT_TRUE(file.Open(m_strPath.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite));
    file.Write("abc", 3);
    file.Close();

    CFile again;
    ASSERT_TRUE(again.Open(m_strPath.c_str(), CFile::modeWrite | CFile::shareDenyWrite));
    EXPECT_EQ(again.Seek(0, CFile::end), 3u);
    again.Write("de", 2);
    EXPECT_EQ(again.Seek(1, CFile::begin), 1u);
    again.Write("X", 1);
    EXPECT_EQ(again.Seek(1, CFile::current), 3u);
    again.Close();
    EXPECT_EQ(ReadWholeFile(m_strPath), "aXcde");
}

TEST_F(FileTest, OpenFailureFillsTheExceptionWithoutThrowing)
{
    CFileException error;
    CFile file;
    const std::string strMissing = m_strPath + ".missing\\file.bin";
    EXPECT_FALSE(file.Open(strMissing.c_str(), CFile::modeWrite, &error));
    EXPECT_EQ(error.m_lOsError, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(error.m_cause, CFileException::badPath);
    EXPECT_EQ(error.m_strFileName, strMissing.c_str());
    EXPECT_FALSE(file.Open(strMissing.c_str(), CFile::modeWrite)); // no exception object given
}

TEST_F(FileTest, SharingModesAreHonoured)
{
    CFile writer;
    ASSERT_TRUE(writer.Open(m_strPath.c_str(), CFile::modeWrite | CFile::shareDenyWrite));
    CFile second;
    CFileException error;
    EXPECT_FALSE(second.Open(m_strPath.c_str(), CFile::modeWrite | CFile::shareDenyNone, &error));
    EXPECT_EQ(error.m_lOsError, ERROR_SHARING_VIOLATION);
    CFile reader;
    EXPECT_TRUE(reader.Open(m_strPath.c_str(), CFile::modeRead | CFile::shareDenyNone));
    writer.Close();

    CFile exclusive;
    EXPECT_FALSE(exclusive.Open(m_strPath.c_str(), CFile::modeRead | CFile::shareExclusive));
}

TEST_F(FileTest, FailuresAreThrownAsHeapExceptions)
{
    CFile reader;
    ASSERT_TRUE(reader.Open(m_strPath.c_str(), CFile::modeRead | CFile::shareDenyNone));
    try {
        reader.Write("x", 1); // opened for reading only
        ADD_FAILURE() << "no exception";
    } catch (CFileException* pException) {
        EXPECT_EQ(pException->m_lOsError, ERROR_ACCESS_DENIED);
        pException->Delete();
    }
    try {
        reader.Seek(-10, CFile::begin);
        ADD_FAILURE() << "no exception";
    } catch (CFileException* pException) {
        EXPECT_EQ(pException->m_lOsError, ERROR_NEGATIVE_SEEK);
        pException->Delete();
    }
}

TEST_F(FileTest, RemoveDeletesOrThrows)
{
    CFile::Remove(m_strPath.c_str());
    EXPECT_EQ(GetFileAttributesA(m_strPath.c_str()), INVALID_FILE_ATTRIBUTES);
    try {
        CFile::Remove(m_strPath.c_str());
        ADD_FAILURE() << "no exception";
    } catch (CFileException* pException) {
        EXPECT_EQ(pException->m_lOsError, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(pException->m_cause, CFileException::fileNotFound);
        pException->Delete();
    }
}

TEST_F(FileTest, DestructorClosesTheFile)
{
    {
        CFile file;
        ASSERT_TRUE(file.Open(m_strPath.c_str(), CFile::modeWrite | CFile::shareExclusive));
    }
    CFile again;
    EXPECT_TRUE(again.Open(m_strPath.c_str(), CFile::modeWrite | CFile::shareExclusive));
}

TEST(FileException, MessageIsTheSystemTextOnOneLine)
{
    CFileException exception(CFileException::fileNotFound, ERROR_FILE_NOT_FOUND);
    char szText[256];
    ASSERT_TRUE(exception.GetErrorMessage(szText, sizeof(szText)));
    EXPECT_GT(strlen(szText), 5u);
    EXPECT_EQ(strchr(szText, '\n'), nullptr);
    EXPECT_EQ(strchr(szText, '\r'), nullptr);
}

TEST(FileException, MessageIsCutToFitAndTerminated)
{
    CFileException exception(CFileException::genericException, ERROR_FILE_NOT_FOUND);
    char szFull[256];
    exception.GetErrorMessage(szFull, sizeof(szFull));
    char szShort[8];
    memset(szShort, 'Z', sizeof(szShort));
    UINT nHelp = 99;
    EXPECT_TRUE(exception.GetErrorMessage(szShort, sizeof(szShort), &nHelp));
    EXPECT_EQ(std::string(szShort), std::string(szFull, 7));
    EXPECT_EQ(nHelp, 0u);
    EXPECT_FALSE(exception.GetErrorMessage(szShort, 0));
}

TEST(FileException, SocketErrorsHaveAText)
{
    CFileException exception(CFileException::genericException, WSAECONNRESET);
    char szText[256];
    exception.GetErrorMessage(szText, sizeof(szText));
    std::printf("[ info ] text of %d: \"%s\"\n", WSAECONNRESET, szText);
    EXPECT_GT(strlen(szText), 5u);

    // An error number the system has no text for.
    CFileException unknown(CFileException::genericException, WSABASEERR + 999);
    unknown.GetErrorMessage(szText, sizeof(szText));
    EXPECT_STREQ(szText, "Socket error 10999");
}

} // namespace
