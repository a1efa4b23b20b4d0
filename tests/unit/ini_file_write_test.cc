// Writing and erasing: edits in place, atomic replacement, and the refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "core/ini_file.h"
#include "unit/ini_test_util.h"

namespace pv {
namespace {

using pv::testing::FileBytes;
using pv::testing::FileExists;
using pv::testing::Inode;
using pv::testing::PutFile;
using pv::testing::TempDir;

// The file's bytes after `edit` ran as one-off calls on a file holding `before` (nullptr: no file).
std::string After(const char* before, const std::function<void(const std::string&)>& edit) {
  TempDir dir;
  std::string path = dir.File("t.ini");
  if (before != nullptr) PutFile(path, before);
  edit(path);
  return FileExists(path) ? FileBytes(path) : "(absent)";
}

void Put(const std::string& path, const char* s, const char* k, const std::string& v) {
  IniWriteString(path, s, k, v);
}

TEST(IniWrite, CreatesTheFileAndAppendsInWriteOrder) {
  EXPECT_EQ(After(nullptr, [](auto& p) { Put(p, "Version", "ServerVersion", "v1.2.2"); }),
            "[Version]\r\nServerVersion=v1.2.2\r\n");
  EXPECT_EQ(After(nullptr,
                  [](auto& p) {
                    Put(p, "A", "k1", "v1");
                    Put(p, "A", "k2", "v2");
                    Put(p, "B", "k3", "v3");
                    Put(p, "A", "k4", "v4");
                  }),
            "[A]\r\nk1=v1\r\nk2=v2\r\nk4=v4\r\n[B]\r\nk3=v3\r\n");
  EXPECT_EQ(After("", [](auto& p) { Put(p, "A", "k1", "v1"); }), "[A]\r\nk1=v1\r\n");
}

TEST(IniWrite, ChangesOnlyTheLineConcerned) {
  // Spelling of key and header, the blanks around "=", LF line ends and blank lines all stay.
  EXPECT_EQ(After("[A]\r\nFirst=1\r\nSERVERPASSWORD=old\r\nLast=3\r\n",
                  [](auto& p) { Put(p, "a", "ServerPassword", "new"); }),
            "[A]\r\nFirst=1\r\nSERVERPASSWORD=new\r\nLast=3\r\n");
  EXPECT_EQ(After("[A]\n  Key  =  old  \n\nOther = keep\nNoEq line\n",
                  [](auto& p) { Put(p, "A", "key", "new"); }),
            "[A]\n  Key  =  new\n\nOther = keep\nNoEq line\n");
  EXPECT_EQ(After("[A]\r\nK = old\r\n", [](auto& p) { Put(p, "A", "K", ""); }), "[A]\r\nK =\r\n");
  EXPECT_EQ(After("[A]\r\nK=\r\nL=x", [](auto& p) { Put(p, "A", "L", "y"); }), "[A]\r\nK=\r\nL=y");
  EXPECT_EQ(After("[passwords]\r\nadminpassword=x\r\n",
                  [](auto& p) {
                    Put(p, "Passwords", "AdminPassword", "vimbo");
                    Put(p, "Passwords", "ServerPassword", "");
                  }),
            "[passwords]\r\nadminpassword=vimbo\r\nServerPassword=\r\n");
}

TEST(IniWrite, NewKeyFollowsTheLastNonBlankLineOfItsSection) {
  EXPECT_EQ(After("; head\r\n[A]\r\nk1=v1\r\n; tail comment of A\r\n\r\n[B]\r\nk2=v2\r\n",
                  [](auto& p) { Put(p, "A", "new", "1"); }),
            "; head\r\n[A]\r\nk1=v1\r\n; tail comment of A\r\nnew=1\r\n\r\n[B]\r\nk2=v2\r\n");
  EXPECT_EQ(After("[A]\r\nk=v\r\n\r\n\r\n", [](auto& p) { Put(p, "B", "k", "v"); }),
            "[A]\r\nk=v\r\n\r\n\r\n[B]\r\nk=v\r\n");
  EXPECT_EQ(After("[A]\r\nk=v", [](auto& p) { Put(p, "B", "k", "v"); }),
            "[A]\r\nk=v\r\n[B]\r\nk=v\r\n");
  EXPECT_EQ(After("[A]\nk=v", [](auto& p) { Put(p, "A", "j", "w"); }), "[A]\nk=v\r\nj=w\r\n");
  EXPECT_EQ(After("Orphan=1\r\n\r\n[S]\r\nK=v\r\n",
                  [](auto& p) {
                    Put(p, "S", "K", "w");
                    Put(p, "T", "k", "t");
                  }),
            "Orphan=1\r\n\r\n[S]\r\nK=w\r\n[T]\r\nk=t\r\n");
}

TEST(IniWrite, LineWithoutEqualsIsTheKeyButACommentIsNot) {
  EXPECT_EQ(After("[S]\r\nK\r\n;J=old\r\nL=1\r\n",
                  [](auto& p) {
                    Put(p, "S", "K", "v");
                    Put(p, "S", "J", "new");
                  }),
            "[S]\r\nK=v\r\n;J=old\r\nL=1\r\nJ=new\r\n");
}

TEST(IniWrite, ValuesAreWrittenExactlyAsGiven) {
  TempDir dir;
  std::string p = dir.File("t.ini");
  Put(p, " S ", " K ", "v");
  Put(p, "S", "Lead", "  padded");
  Put(p, "S", "Quoted", "\" q \"");
  Put(p, "S", "Split", "a\r\nb=c");
  Put(p, "S", "High", "caf\xe9 \x80\x81\xff");
  EXPECT_EQ(FileBytes(p),
            "[S]\r\nK=v\r\nLead=  padded\r\nQuoted=\" q \"\r\nSplit=a\r\nb=c\r\n"
            "High=caf\xe9 \x80\x81\xff\r\n");
  IniFile f(p);
  EXPECT_EQ(f.ReadString("S", "Lead", "D"), "padded");
  EXPECT_EQ(f.ReadString("S", "Quoted", "D"), " q ");
  EXPECT_EQ(f.ReadString("S", "Split", "D"), "a");
  EXPECT_EQ(f.ReadString("S", "b", "D"), "c");
  EXPECT_EQ(f.ReadString("S", "High", "D"), "caf\xe9 \x80\x81\xff");
}

TEST(IniWrite, IntegersAndBooleansAsDecimalText) {
  EXPECT_EQ(After(nullptr,
                  [](auto& p) {
                    IniFile f(p);
                    f.WriteInteger("N", "A", -2147483647 - 1);
                    f.WriteBool("N", "T", true);
                    f.WriteBool("N", "F", false);
                    f.UpdateFile();
                  }),
            "[N]\r\nA=-2147483648\r\nT=1\r\nF=0\r\n");
}

TEST(IniWrite, ByteOrderMarkIsKept) {
  EXPECT_EQ(After("\xef\xbb\xbf[S]\r\nK=caf\xc3\xa9\r\n", [](auto& p) { Put(p, "S", "N", "na\xefve"); }),
            "\xef\xbb\xbf[S]\r\nK=caf\xc3\xa9\r\nN=na\xefve\r\n");
}

TEST(IniWrite, TheSameValueWritesNothing) {
  TempDir dir;
  std::string p = dir.File("t.ini");
  PutFile(p, "[S]\nK = v \n\nJ=w\n");
  ino_t before = Inode(p);
  Put(p, "s", "k", "v");
  IniEraseSection(p, "Nope");
  EXPECT_EQ(Inode(p), before);
  EXPECT_EQ(FileBytes(p), "[S]\nK = v \n\nJ=w\n");
  Put(p, "s", "k", "v2");
  EXPECT_NE(Inode(p), before);
  EXPECT_EQ(FileBytes(p), "[S]\nK = v2\n\nJ=w\n");
}

TEST(IniErase, RemovesHeaderAndKeysButCommentsAndBlankLinesStay) {
  EXPECT_EQ(After("; file header\r\n\r\n[Keep1]\r\na=1\r\n\r\n; comment before Gone\r\n[Gone]\r\n"
                  "; comment inside Gone\r\nx=1\r\n\r\ny=2\r\nNoEq\r\n\r\n[Keep2]\r\nb=2\r\n",
                  [](auto& p) { IniEraseSection(p, "gone"); }),
            "; file header\r\n\r\n[Keep1]\r\na=1\r\n\r\n; comment before Gone\r\n"
            "; comment inside Gone\r\n\r\n\r\n[Keep2]\r\nb=2\r\n");
  EXPECT_EQ(After(";comment0\r\n[S1]\r\n;comment1\r\n[S2]\r\n;comment2\r\n",
                  [](auto& p) {
                    IniEraseSection(p, "S1");
                    IniEraseSection(p, "S2");
                  }),
            ";comment0\r\n;comment1\r\n;comment2\r\n");
  EXPECT_EQ(After("; c\r\n[S]\r\nK=v", [](auto& p) { IniEraseSection(p, "S"); }), "; c\r\n");
}

TEST(IniErase, OnlyTheFirstCopyGoesAndAWriteRecreatesAtTheEnd) {
  TempDir dir;
  std::string p = dir.File("t.ini");
  PutFile(p, "[S]\r\na=1\r\n[T]\r\nt=1\r\n[S]\r\na=2\r\n");
  IniEraseSection(p, "S");
  EXPECT_EQ(FileBytes(p), "[T]\r\nt=1\r\n[S]\r\na=2\r\n");
  EXPECT_EQ(IniReadString(p, "S", "a", "D"), "2");
  EXPECT_EQ(After("[A]\r\na=1\r\n[B]\r\nb=1\r\n",
                  [](auto& f) {
                    IniEraseSection(f, "A");
                    Put(f, "A", "a", "2");
                  }),
            "[B]\r\nb=1\r\n[A]\r\na=2\r\n");
  EXPECT_EQ(After(nullptr, [](auto& f) { IniEraseSection(f, "S"); }), "(absent)");
}

TEST(IniWrite, ABatchEndsLikeTheSameSingleCalls) {
  const char* start = "; top\r\n[Channels]\r\n0=A\r\n; note\r\n\r\n[X]\r\nk=v\r\n";
  auto singles = After(start, [](auto& p) {
    IniEraseSection(p, "Channels");
    Put(p, "Channels", "0", "B");
    Put(p, "X", "k", "w");
    Put(p, "Channels", "1", "C");
  });
  auto batch = After(start, [](auto& p) {
    IniFile f(p);
    f.EraseSection("Channels");
    f.WriteString("Channels", "0", "B");
    EXPECT_EQ(f.ReadString("Channels", "0", ""), "B");  // later reads see earlier edits
    f.WriteString("X", "k", "w");
    f.WriteString("Channels", "1", "C");
    f.UpdateFile();
  });
  EXPECT_EQ(batch, singles);
  EXPECT_EQ(batch, "; top\r\n; note\r\n\r\n[X]\r\nk=w\r\n[Channels]\r\n0=B\r\n1=C\r\n");
  // A write then an erase of everything still leaves a (now empty) file behind.
  EXPECT_EQ(After(nullptr,
                  [](auto& p) {
                    IniFile f(p);
                    f.WriteString("S", "K", "v");
                    f.EraseSection("S");
                    f.UpdateFile();
                  }),
            "");
}

TEST(IniWrite, ReplacementKeepsModeLeavesNoTemporaryFileAndFollowsLinks) {
  TempDir dir;
  std::string p = dir.File("t.ini");
  PutFile(p, "[S]\r\nK=v\r\n");
  ::chmod(p.c_str(), 0640);
  ::symlink("t.ini", dir.File("link.ini").c_str());
  IniWriteString(dir.File("link.ini"), "S", "K", "w");
  struct stat st;
  ASSERT_EQ(::lstat(dir.File("link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FileBytes(p), "[S]\r\nK=w\r\n");
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 2u);
}

// The configuration rewrite as single calls: six erases, then every key with the given values.
void Rewrite(const std::string& p, const std::vector<std::pair<const char*, const char*>>& keys) {
  for (const char* s : {"Passwords", "Version", "General", "Networking", "Ping", "WebStatus"})
    IniEraseSection(p, s);
  Put(p, "Version", "ServerVersion", "v1.2.2");
  const char* sections[] = {"Passwords", "Passwords", "General", "General", "Networking",
                            "Networking", "Ping", "Ping", "Ping", "WebStatus", "WebStatus",
                            "WebStatus", "WebStatus", "WebStatus"};
  for (size_t i = 0; i < keys.size(); ++i) Put(p, sections[i], keys[i].first, keys[i].second);
}

const std::vector<std::pair<const char*, const char*>> kDefaults = {
    {"ServerPassword", ""}, {"AdminPassword", "vimbo"}, {"Servername", "Parleyvox Server"},
    {"MaxClients", "16"}, {"TCPPort", "8765"}, {"IP", ""}, {"MaxPingTries", "3"},
    {"PingWaitTime", "15000"}, {"IdleTimeBeforePing", "5000"}, {"Active", "0"},
    {"ParleyvoxSite_Active", "0"}, {"ParleyvoxSite_DisplayInWebList", "0"},
    {"WebPostURL", "http://"}, {"WebPostLinkUrl", "http://www.parleyvox.example/"}};

TEST(IniSequence, FirstStartWritesTheKnownBytes) {
  TempDir dir;
  std::string p = dir.File("pvserver.ini");
  Rewrite(p, kDefaults);
  EXPECT_EQ(FileBytes(p), pv::testing::kFirstStartFile);
  EXPECT_EQ(FileBytes(p).size(), 388u);
}

TEST(IniSequence, RewritingAHandEditedFileKeepsItsCommentsAndOtherSections) {
  TempDir dir;
  std::string p = dir.File("pvserver.ini");
  PutFile(p, pv::testing::kOlderFile);
  for (const char* s : {"Passwords", "Version", "General", "Networking", "Ping", "WebStatus"})
    IniEraseSection(p, s);
  EXPECT_EQ(FileBytes(p), pv::testing::kOlderFileErased);
  Rewrite(p, kDefaults);
  EXPECT_EQ(FileBytes(p), pv::testing::kOlderFileErased + pv::testing::kFirstStartFile);
}

// Every refusal raises with the file's name and leaves the file and the object as they were.
void ExpectRefused(const std::string& path, const std::function<void(IniFile&)>& edit) {
  IniFile f(path);
  edit(f);
  try {
    f.UpdateFile();
    ADD_FAILURE() << "no error for " << path;
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.ClassName(), "EIniFileException");
    EXPECT_EQ(e.Message(), "Unable to write to " + path);
  }
  EXPECT_EQ(f.ReadString("S", "K", "absent"), IniFile(path).ReadString("S", "K", "absent"));
}

TEST(IniFailure, AReadOnlyFileRefusesEveryWriteAndErase) {
  TempDir dir;
  std::string p = dir.File("ro.ini");
  PutFile(p, "[S]\r\nK=v\r\n");
  ::chmod(p.c_str(), 0444);
  ino_t before = Inode(p);
  ExpectRefused(p, [](IniFile& f) { f.WriteString("S", "K", "new"); });
  ExpectRefused(p, [](IniFile& f) { f.WriteString("S", "K", "v"); });
  ExpectRefused(p, [](IniFile& f) { f.WriteString("S", "Other", "x"); });
  ExpectRefused(p, [](IniFile& f) { f.EraseSection("S"); });
  ExpectRefused(p, [](IniFile& f) { f.EraseSection("Nope"); });
  EXPECT_EQ(Inode(p), before);
  EXPECT_EQ(FileBytes(p), "[S]\r\nK=v\r\n");
  EXPECT_EQ(IniReadString(p, "S", "K", "DEF"), "v");
}

TEST(IniFailure, AMissingFolderRefusesWritesAndErases) {
  TempDir dir;
  std::string p = dir.File("nodir/t.ini");
  ExpectRefused(p, [](IniFile& f) { f.WriteString("S", "K", "v"); });
  ExpectRefused(p, [](IniFile& f) { f.EraseSection("S"); });
  EXPECT_FALSE(FileExists(dir.File("nodir")));
}

TEST(IniFailure, AReadOnlyFolderRefusesToCreateTheFileButAnEraseIsFine) {
  TempDir dir;
  std::string sub = dir.File("ro");
  ASSERT_EQ(::mkdir(sub.c_str(), 0555), 0);
  std::string p = sub + "/t.ini";
  ExpectRefused(p, [](IniFile& f) {
    f.EraseSection("S");
    f.WriteString("S", "K", "v");
  });
  EXPECT_NO_THROW(IniEraseSection(p, "S"));
  EXPECT_FALSE(FileExists(p));
}

TEST(IniFailure, EditsOfAFailedUpdateAreDropped) {
  TempDir dir;
  std::string p = dir.File("ro.ini");
  PutFile(p, "[S]\r\nK=v\r\n");
  ::chmod(p.c_str(), 0444);
  IniFile f(p);
  f.WriteString("S", "K", "new");
  EXPECT_EQ(f.ReadString("S", "K", ""), "new");
  EXPECT_THROW(f.UpdateFile(), EIniFileException);
  EXPECT_EQ(f.ReadString("S", "K", ""), "v");
  ::chmod(p.c_str(), 0644);
  f.UpdateFile();  // nothing pending any more
  EXPECT_EQ(FileBytes(p), "[S]\r\nK=v\r\n");
}

}  // namespace
}  // namespace pv
