// Writing and erasing: edits in place, atomic replacement, and the refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "core/ini_file.h"
#include "support/ini_files.h"

namespace pv::test {
namespace {

// One edit: a write of {section, key, value}, or without a key an erase of the section.
struct Edit {
  const char* section;
  const char* key = nullptr;
  std::string value = "";
};

// The file's bytes after `edit` ran on a file holding `before` (nullptr: no file).
std::string After(const char* before, const std::function<void(const std::string&)>& edit) {
  TempDir dir;
  std::string path = dir.File("t.ini");
  if (before != nullptr) PutFile(path, before);
  edit(path);
  return FileExists(path) ? FileBytes(path) : "(absent)";
}

// The same with the edits as one-off calls, each reading and replacing the file.
std::string After(const char* before, const std::vector<Edit>& edits) {
  return After(before, [&](const std::string& path) {
    for (const Edit& e : edits)
      e.key ? WriteOne(path, e.section, e.key, e.value) : EraseOne(path, e.section);
  });
}

// The same with the edits as one batch: one load, the edits and one update.
std::string AfterBatch(const char* before, const std::vector<Edit>& edits) {
  return After(before, [&](const std::string& path) {
    IniFile f(path);
    for (const Edit& e : edits) e.key ? f.WriteString(e.section, e.key, e.value) : f.EraseSection(e.section);
    f.UpdateFile();
  });
}

// A batch ends like the same edits as one-off calls.
TEST(IniWrite, EditsAsOneOffCallsOrOneBatchChangeOnlyWhatTheyConcern) {
  const struct {
    const char* what;
    const char* before;
    std::vector<Edit> edits;
    std::string after;
  } cases[] = {
      {"a write creates the file", nullptr, {{"Version", "ServerVersion", "v1.2.2"}},
       "[Version]\r\nServerVersion=v1.2.2\r\n"},
      {"sections and keys are appended in write order", nullptr,
       {{"A", "k1", "v1"}, {"A", "k2", "v2"}, {"B", "k3", "v3"}, {"A", "k4", "v4"}},
       "[A]\r\nk1=v1\r\nk2=v2\r\nk4=v4\r\n[B]\r\nk3=v3\r\n"},
      {"an empty file", "", {{"A", "k1", "v1"}}, "[A]\r\nk1=v1\r\n"},
      // The spelling of key and header, the blanks around "=", LF line ends and blank lines stay.
      {"only the value changes", "[A]\r\nFirst=1\r\nSERVERPASSWORD=old\r\nLast=3\r\n",
       {{"a", "ServerPassword", "new"}}, "[A]\r\nFirst=1\r\nSERVERPASSWORD=new\r\nLast=3\r\n"},
      {"blanks before the value go", "[A]\n  Key  =  old  \n\nOther = keep\nNoEq line\n", {{"A", "key", "new"}},
       "[A]\n  Key  =  new\n\nOther = keep\nNoEq line\n"},
      {"an empty value", "[A]\r\nK = old\r\n", {{"A", "K", ""}}, "[A]\r\nK =\r\n"},
      {"no line end at the end", "[A]\r\nK=\r\nL=x", {{"A", "L", "y"}}, "[A]\r\nK=\r\nL=y"},
      {"a new key in a differently spelt section", "[passwords]\r\nadminpassword=x\r\n",
       {{"Passwords", "AdminPassword", "vimbo"}, {"Passwords", "ServerPassword", ""}},
       "[passwords]\r\nadminpassword=vimbo\r\nServerPassword=\r\n"},
      {"a line without '=' is the key, a commented key is not", "[S]\r\nK\r\n;J=old\r\nL=1\r\n",
       {{"S", "K", "v"}, {"S", "J", "new"}}, "[S]\r\nK=v\r\n;J=old\r\nL=1\r\nJ=new\r\n"},
      // A new key follows the last non-blank line of its section.
      {"after a trailing comment", "; head\r\n[A]\r\nk1=v1\r\n; tail comment of A\r\n\r\n[B]\r\nk2=v2\r\n",
       {{"A", "new", "1"}}, "; head\r\n[A]\r\nk1=v1\r\n; tail comment of A\r\nnew=1\r\n\r\n[B]\r\nk2=v2\r\n"},
      {"a new section after blank lines", "[A]\r\nk=v\r\n\r\n\r\n", {{"B", "k", "v"}},
       "[A]\r\nk=v\r\n\r\n\r\n[B]\r\nk=v\r\n"},
      {"a new section after no line end", "[A]\r\nk=v", {{"B", "k", "v"}}, "[A]\r\nk=v\r\n[B]\r\nk=v\r\n"},
      {"new lines end in CR LF", "[A]\nk=v", {{"A", "j", "w"}}, "[A]\nk=v\r\nj=w\r\n"},
      {"lines before the first header", "Orphan=1\r\n\r\n[S]\r\nK=v\r\n", {{"S", "K", "w"}, {"T", "k", "t"}},
       "Orphan=1\r\n\r\n[S]\r\nK=w\r\n[T]\r\nk=t\r\n"},
      {"a byte order mark is kept", "\xef\xbb\xbf[S]\r\nK=caf\xc3\xa9\r\n", {{"S", "N", "na\xefve"}},
       "\xef\xbb\xbf[S]\r\nK=caf\xc3\xa9\r\nN=na\xefve\r\n"},
      // An erase removes the header and keys; comments and blank lines stay.
      {"an erase", "; file header\r\n\r\n[Keep1]\r\na=1\r\n\r\n; comment before Gone\r\n[Gone]\r\n"
                   "; comment inside Gone\r\nx=1\r\n\r\ny=2\r\nNoEq\r\n\r\n[Keep2]\r\nb=2\r\n",
       {{"gone"}},
       "; file header\r\n\r\n[Keep1]\r\na=1\r\n\r\n; comment before Gone\r\n; comment inside Gone\r\n\r\n\r\n"
       "[Keep2]\r\nb=2\r\n"},
      {"two erases", ";comment0\r\n[S1]\r\n;comment1\r\n[S2]\r\n;comment2\r\n", {{"S1"}, {"S2"}},
       ";comment0\r\n;comment1\r\n;comment2\r\n"},
      {"an erase at the end", "; c\r\n[S]\r\nK=v", {{"S"}}, "; c\r\n"},
      {"only the first copy goes", "[S]\r\na=1\r\n[T]\r\nt=1\r\n[S]\r\na=2\r\n", {{"S"}},
       "[T]\r\nt=1\r\n[S]\r\na=2\r\n"},
      {"a write after an erase recreates the section at the end", "[A]\r\na=1\r\n[B]\r\nb=1\r\n",
       {{"A"}, {"A", "a", "2"}}, "[B]\r\nb=1\r\n[A]\r\na=2\r\n"},
      {"an erase creates no file", nullptr, {{"S"}}, "(absent)"},
      {"a write then an erase of everything leave an empty file", nullptr, {{"S", "K", "v"}, {"S"}}, ""},
      {"a write into a section written before", "; top\r\n[Channels]\r\n0=A\r\n; note\r\n\r\n[X]\r\nk=v\r\n",
       {{"Channels"}, {"Channels", "0", "B"}, {"X", "k", "w"}, {"Channels", "1", "C"}},
       "; top\r\n; note\r\n\r\n[X]\r\nk=w\r\n[Channels]\r\n0=B\r\n1=C\r\n"},
      // The erase brings "k=1" CR next to a blank line ending in LF: read back, they are one line
      // ending in CR LF, and the new key follows it.
      {"an erase joins line ends", "[U]\r\nk=1\r[S]\r\nx=2\r\n\n", {{"S"}, {"U", "j", "2"}}, "[U]\r\nk=1\r\nj=2\r\n"},
      // Names lose their blanks; values keep leading blanks, quotes, line breaks and high bytes.
      {"values are written exactly as given", nullptr,
       {{" S ", " K ", "v"}, {"S", "Lead", "  padded"}, {"S", "Quoted", "\" q \""}, {"S", "Split", "a\r\nb=c"},
        {"S", "High", "caf\xe9 \x80\x81\xff"}},
       "[S]\r\nK=v\r\nLead=  padded\r\nQuoted=\" q \"\r\nSplit=a\r\nb=c\r\nHigh=caf\xe9 \x80\x81\xff\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(After(c.before, c.edits), c.after) << c.what;
    EXPECT_EQ(AfterBatch(c.before, c.edits), c.after) << c.what << ", in one batch";
  }
}

// The file is replaced only for a change; a replacement through a link replaces the link's target
// with the target's mode, and leaves no temporary file.
TEST(IniWrite, TheSameValueWritesNothingAndAReplacementFollowsLinksKeepsModeAndLeavesNoTemporary) {
  TempDir dir;
  std::string p = dir.File("t.ini");
  PutFile(p, "[S]\nK = v \n\nJ=w\n");
  ino_t before = Inode(p);
  WriteOne(p, "s", "k", "v");
  EraseOne(p, "Nope");
  EXPECT_EQ(Inode(p), before);
  EXPECT_EQ(FileBytes(p), "[S]\nK = v \n\nJ=w\n");
  ::chmod(p.c_str(), 0640);
  ::symlink("t.ini", dir.File("link.ini").c_str());
  WriteOne(dir.File("link.ini"), "s", "k", "v2");
  EXPECT_NE(Inode(p), before);
  EXPECT_EQ(FileBytes(p), "[S]\nK = v2\n\nJ=w\n");
  struct stat st;
  ASSERT_EQ(::lstat(dir.File("link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 2u);
}

// Later reads of a batch see its earlier edits; numbers and flags are written as decimal text.
TEST(IniWrite, ABatchReadsItsOwnEditsAndWritesNumbersAsDecimalText) {
  EXPECT_EQ(After("[N]\r\nK=old\r\n",
                  [](auto& p) {
                    IniFile f(p);
                    f.EraseSection("N");
                    EXPECT_EQ(f.ReadString("N", "K", "gone"), "gone");
                    f.WriteString("N", "K", "new");
                    EXPECT_EQ(f.ReadString("N", "K", ""), "new");
                    f.WriteInteger("N", "A", -2147483647 - 1);
                    f.WriteBool("N", "T", true);
                    f.WriteBool("N", "F", false);
                    f.UpdateFile();
                  }),
            "[N]\r\nK=new\r\nA=-2147483648\r\nT=1\r\nF=0\r\n");
}

// Every refusal raises with the file's name and leaves the file and the object as they were.
void ExpectRefused(const std::string& path, const std::vector<Edit>& edits) {
  IniFile f(path);
  for (const Edit& e : edits) e.key ? f.WriteString(e.section, e.key, e.value) : f.EraseSection(e.section);
  try {
    f.UpdateFile();
    ADD_FAILURE() << "no error for " << path;
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.ClassName(), "EIniFileException");
    EXPECT_EQ(e.Message(), "Unable to write to " + path);
  }
  EXPECT_EQ(f.ReadString("S", "K", "absent"), IniFile(path).ReadString("S", "K", "absent"));
}

TEST(IniFailure, AReadOnlyFileRefusesEveryWriteAndEraseAndDropsTheEdits) {
  TempDir dir;
  std::string p = dir.File("ro.ini");
  PutFile(p, "[S]\r\nK=v\r\n");
  ::chmod(p.c_str(), 0444);
  ino_t before = Inode(p);
  for (const Edit& e : std::vector<Edit>{{"S", "K", "new"}, {"S", "K", "v"}, {"S", "Other", "x"}, {"S"}, {"Nope"}})
    ExpectRefused(p, {e});
  EXPECT_EQ(Inode(p), before);
  EXPECT_EQ(FileBytes(p), "[S]\r\nK=v\r\n");
  EXPECT_EQ(ReadOne(p, "S", "K", "DEF"), "v");
  // Nothing of a failed update waits for the next one.
  IniFile f(p);
  f.WriteString("S", "K", "new");
  EXPECT_EQ(f.ReadString("S", "K", ""), "new");
  EXPECT_THROW(f.UpdateFile(), EIniFileException);
  ::chmod(p.c_str(), 0644);
  f.UpdateFile();
  EXPECT_EQ(FileBytes(p), "[S]\r\nK=v\r\n");
}

TEST(IniFailure, AMissingOrReadOnlyFolderRefusesToCreateTheFile) {
  TempDir dir;
  std::string p = dir.File("nodir/t.ini");
  ExpectRefused(p, {{"S", "K", "v"}});
  ExpectRefused(p, {{"S"}});
  EXPECT_FALSE(FileExists(dir.File("nodir")));
  std::string sub = dir.File("ro");
  ASSERT_EQ(::mkdir(sub.c_str(), 0555), 0);
  ExpectRefused(sub + "/t.ini", {{"S"}, {"S", "K", "v"}});
  // An erase alone writes nothing, so it is no failure.
  EXPECT_NO_THROW(EraseOne(sub + "/t.ini", "S"));
  EXPECT_FALSE(FileExists(sub + "/t.ini"));
}

}  // namespace
}  // namespace pv::test
