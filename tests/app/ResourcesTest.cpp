// The program's resources read back through the platform, so that a wrong
// text, id, style or version entry fails here.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Resource(LPCSTR pszType, UINT nId)
{
    HRSRC hRes = FindResourceExA(nullptr, pszType, MAKEINTRESOURCEA(nId), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!hRes)
        return {};
    const auto* p = static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, hRes)));
    return std::vector<unsigned char>(p, p + SizeofResource(nullptr, hRes));
}

// Reads a dialog template field by field.
class TemplateReader {
public:
    explicit TemplateReader(const std::vector<unsigned char>& data) : m_data(data) {}

    uint16_t Word()
    {
        uint16_t w = 0;
        if (m_pos + 2 <= m_data.size())
            memcpy(&w, &m_data[m_pos], 2);
        m_pos += 2;
        return w;
    }
    uint32_t DWord()
    {
        const uint32_t lo = Word();
        return lo | (static_cast<uint32_t>(Word()) << 16);
    }
    std::string Text()
    {
        std::string s;
        for (uint16_t c = Word(); c != 0; c = Word())
            s += static_cast<char>(c);
        return s;
    }
    // A name or an ordinal (0xFFFF followed by the number).
    std::string NameOrOrdinal()
    {
        if (m_pos + 2 <= m_data.size() && m_data[m_pos] == 0xFF && m_data[m_pos + 1] == 0xFF) {
            Word();
            return "#" + std::to_string(Word());
        }
        return Text();
    }
    void AlignDWord() { m_pos = (m_pos + 3) & ~size_t(3); }
    bool AtEnd() const { return m_pos >= m_data.size(); }

private:
    const std::vector<unsigned char>& m_data;
    size_t m_pos = 0;
};

std::string VersionString(const std::vector<char>& info, const char* pszName)
{
    char* pValue = nullptr;
    UINT nLength = 0;
    const std::string strKey = std::string("\\StringFileInfo\\040904B0\\") + pszName;
    if (!VerQueryValueA(info.data(), strKey.c_str(), reinterpret_cast<void**>(&pValue), &nLength))
        return "<missing>";
    return nLength ? std::string(pValue) : std::string();
}

} // namespace

TEST(Resources, StringTableHoldsExactlyTheProgramsTexts)
{
    const struct {
        UINT nId;
        const char* pszText;
    } strings[] = {
        {103, "Windows sockets initialization failed."},
        {104, "Connection to %s:%d unexpectedly lost: Error %d"},
        {105, "Your connection to the update server %s was unexpectedly terminated. Please check your connection and "
              "try again."},
        {106, "Quillbrook Updater"},
        {107, "Are you sure you want to cancel your software update?"},
        {108, "An error occurred attempting to launch %s: Error %d"},
        {109, "An error occurred launching %s. See your Quillbrook event log for more information."},
        {110, "Updates for Quillbrook Suite have been turned off by your administrator."},
    };
    char szBuffer[1024];
    for (const auto& s : strings) {
        SCOPED_TRACE(s.nId);
        ASSERT_GT(LoadStringA(nullptr, s.nId, szBuffer, sizeof(szBuffer)), 0);
        EXPECT_STREQ(szBuffer, s.pszText);
    }
    // The table's blocks hold ids 96..111; nothing else is in them.
    for (UINT nId = 96; nId < 112; ++nId) {
        if (nId >= 103 && nId <= 110)
            continue;
        EXPECT_EQ(LoadStringA(nullptr, nId, szBuffer, sizeof(szBuffer)), 0) << nId;
    }
}

TEST(Resources, DialogTemplateMatchesTheDesign)
{
    const std::vector<unsigned char> data = Resource(MAKEINTRESOURCEA(5) /* RT_DIALOG */, 102);
    ASSERT_FALSE(data.empty());
    TemplateReader r(data);
    EXPECT_EQ(r.Word(), 1);      // version of the extended template
    EXPECT_EQ(r.Word(), 0xFFFF); // signature
    EXPECT_EQ(r.DWord(), 0u);    // help id
    EXPECT_EQ(r.DWord(), 0x00040000u);
    EXPECT_EQ(r.DWord(), 0x90C800C0u);
    const uint16_t nItems = r.Word();
    EXPECT_EQ(nItems, 3);
    EXPECT_EQ(static_cast<int16_t>(r.Word()), 0);
    EXPECT_EQ(static_cast<int16_t>(r.Word()), 0);
    EXPECT_EQ(r.Word(), 185);
    EXPECT_EQ(r.Word(), 92);
    EXPECT_EQ(r.NameOrOrdinal(), ""); // no menu
    EXPECT_EQ(r.NameOrOrdinal(), ""); // default class
    EXPECT_EQ(r.Text(), "Quillbrook Updater");
    EXPECT_EQ(r.Word(), 8); // points
    EXPECT_EQ(r.Word(), 0); // weight
    const uint16_t italicCharset = r.Word();
    EXPECT_EQ(italicCharset & 0xFF, 0);       // not italic
    EXPECT_EQ(italicCharset >> 8, 1);         // DEFAULT_CHARSET
    EXPECT_EQ(r.Text(), "MS Sans Serif");

    const struct {
        uint32_t style;
        int x, y, cx, cy;
        uint32_t id;
        const char* pszClass;
        const char* pszText;
    } items[] = {
        {0x50010001, 67, 71, 50, 14, 2, "#128", "Cancel"},
        {0x50800000, 7, 39, 171, 15, 1000, "msctls_progress32", "Progress1"},
        {0x50020001, 30, 18, 124, 12, 0xFFFFFFFF, "#130", "Preparing update..."},
    };
    for (const auto& item : items) {
        SCOPED_TRACE(item.pszText);
        r.AlignDWord();
        EXPECT_EQ(r.DWord(), 0u); // help id
        EXPECT_EQ(r.DWord(), 0u); // extended style
        EXPECT_EQ(r.DWord(), item.style);
        EXPECT_EQ(static_cast<int16_t>(r.Word()), item.x);
        EXPECT_EQ(static_cast<int16_t>(r.Word()), item.y);
        EXPECT_EQ(static_cast<int16_t>(r.Word()), item.cx);
        EXPECT_EQ(static_cast<int16_t>(r.Word()), item.cy);
        EXPECT_EQ(r.DWord(), item.id);
        // windres writes class names in capitals; the platform compares
        // them without regard to case.
        EXPECT_EQ(_stricmp(r.NameOrOrdinal().c_str(), item.pszClass), 0);
        EXPECT_EQ(r.NameOrOrdinal(), item.pszText);
        EXPECT_EQ(r.Word(), 0); // no creation data
    }
}

TEST(Resources, IconHasAnImageForEachSizeItIsShownAt)
{
    const std::vector<unsigned char> group = Resource(MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, 128);
    ASSERT_GE(group.size(), 6u);
    const unsigned nCount = group[4] | (group[5] << 8);
    ASSERT_EQ(nCount, 7u);
    ASSERT_GE(group.size(), 6 + 14 * nCount);
    std::vector<std::string> images;
    for (unsigned i = 0; i < nCount; ++i) {
        const unsigned char* e = &group[6 + 14 * i];
        const unsigned nWidth = e[0] ? e[0] : 256;
        const unsigned nHeight = e[1] ? e[1] : 256;
        const unsigned nBits = e[6] | (e[7] << 8);
        images.push_back(std::to_string(nWidth) + "x" + std::to_string(nHeight) + "@" + std::to_string(nBits));
    }
    std::sort(images.begin(), images.end());
    EXPECT_EQ(images, (std::vector<std::string>{"16x16@4", "24x24@32", "256x256@32", "32x32@4", "32x32@8",
                                                "48x48@32", "64x64@32"}));
    EXPECT_NE(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128)), nullptr);

    // At each size the window asks for (96, 150 and 200 %, and the shell's largest)
    // the platform picks the image drawn for it, and can decode it: the
    // 256 pixel one is a PNG.
    for (const int nSize : {16, 24, 32, 48, 64, 256}) {
        SCOPED_TRACE(nSize);
        const int nId = LookupIconIdFromDirectoryEx(const_cast<unsigned char*>(group.data()), TRUE, nSize, nSize,
                                                    LR_DEFAULTCOLOR);
        unsigned nPicked = 0;
        for (unsigned i = 0; i < nCount; ++i) {
            const unsigned char* e = &group[6 + 14 * i];
            if ((e[12] | (e[13] << 8)) == nId)
                nPicked = e[0] ? e[0] : 256;
        }
        EXPECT_EQ(nPicked, static_cast<unsigned>(nSize));
        std::vector<unsigned char> image = Resource(MAKEINTRESOURCEA(3) /* RT_ICON */, nId);
        ASSERT_FALSE(image.empty());
        HICON hIcon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE, 0x00030000,
                                               nSize, nSize, LR_DEFAULTCOLOR);
        EXPECT_NE(hIcon, nullptr);
        if (hIcon)
            DestroyIcon(hIcon);
    }
}

// Without the declaration Windows draws the dialog at 96 DPI and stretches
// it as a bitmap on a screen with more; Wine lays it out alike either way,
// so only the embedded manifest shows it.
TEST(Resources, ManifestDeclaresPerMonitorDpiAwareness)
{
    const std::vector<unsigned char> data = Resource(MAKEINTRESOURCEA(24) /* RT_MANIFEST */, 1);
    const std::string manifest(data.begin(), data.end());
    EXPECT_NE(manifest.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
                            "PerMonitorV2, PerMonitor</dpiAwareness>"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm"
                            "</dpiAware>"),
              std::string::npos);
}

TEST(Resources, VersionInformation)
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    const DWORD nSize = GetFileVersionInfoSizeA(szPath, nullptr);
    ASSERT_GT(nSize, 0u);
    std::vector<char> info(nSize);
    ASSERT_TRUE(GetFileVersionInfoA(szPath, 0, nSize, info.data()));

    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT nLength = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&pFixed), &nLength));
    EXPECT_EQ(pFixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(pFixed->dwProductVersionMS, 0x00030000u);
    EXPECT_EQ(pFixed->dwProductVersionLS, 0x00060000u);

    const struct {
        const char* pszName;
        const char* pszValue;
    } entries[] = {
        {"FileVersion", "3.0.6"},       {"ProductVersion", "3.0"}, {"InternalName", "Updater"},
        {"OriginalFilename", "Updater.EXE"}, {"ProductName", "Quillbrook Suite"}, {"Comments", ""},
        {"LegalTrademarks", ""},        {"PrivateBuild", ""},      {"SpecialBuild", ""},
    };
    for (const auto& e : entries)
        EXPECT_EQ(VersionString(info, e.pszName), e.pszValue) << e.pszName;
    for (const char* pszName : {"CompanyName", "FileDescription", "LegalCopyright"})
        EXPECT_FALSE(VersionString(info, pszName).empty()) << pszName;

    DWORD* pTranslation = nullptr;
    ASSERT_TRUE(
        VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &nLength));
    EXPECT_EQ(*pTranslation, MAKELONG(0x409, 1200));
}
