// INI files. Reading: how names, blanks, quotes, comments, sections, line ends, long values and
// odd bytes are taken, and the numbers and flags read from the text. Writing and erasing: edits in
// place, atomic replacement, and the refusals.
#include "core/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <functional>
#include <tuple>

#include "base/printf.h"
#include "support/ini_files.h"

namespace pv::test {
namespace {

using namespace std::string_literals;

// A fresh file holding `bytes`, read through an IniFile.
struct IniText {
  explicit IniText(const std::string& bytes) { PutFile(path, bytes); }
  std::string Get(std::string_view s, std::string_view k, std::string_view d = "DEF") const {
    return ReadOne(path, s, k, d);
  }
  TempDir dir;
  std::string path = dir.File("t.ini");
};

// "00000,00006,00012,..." cut to n bytes.
std::string Numbers(size_t n) {
  std::string s;
  for (int i = 0; s.size() < n; i += 6) s += Printf("%05d,", i);
  return s.substr(0, n);
}

// A file's bytes and what reads of it give, as {section, key, value} with the default "DEF".
struct ReadCase {
  const char* what;
  std::string bytes;
  std::vector<std::array<std::string, 3>> reads;
};

TEST(IniRead, StringsAsStored) {
  const ReadCase cases[] = {
      {"names match ignoring ASCII case only; high bytes come back as stored",
       "[General]\r\nServername=Parleyvox Server\r\n[Caf\xe9]\r\n\xc4K=caf\xe9 \x80\x81\xff\r\n",
       {{"GENERAL", "SERVERNAME", "Parleyvox Server"}, {"gEnErAl", "sErVeRnAmE", "Parleyvox Server"},
        {"General", "Servername2", "DEF"}, {"caf\xc9", "\xe4k", "DEF"}, {"Caf\xe9", "\xc4K", "caf\xe9 \x80\x81\xff"}}},
      {"blanks around names, headers and values are trimmed",
       "[S]\r\nA = one\r\nB=   two   \r\nC\t=\tthree\t\r\nD =  in  ner  spaces  \r\n"
       "   E=indented key\r\nF=\x0bvt\x0b\r\nG=\x0c" "ff\x0c\r\nZ=v\x1a\r\nT=a\tb\r\n  [ Spaced ]  \r\nK=v\r\n",
       {{"S", "A", "one"}, {"S", "B", "two"}, {"S", "C", "three"}, {"S", "D", "in  ner  spaces"},
        {"S", "E", "indented key"}, {"S", "F", "vt"}, {"S", "G", "ff"}, {"S", "Z", "v"}, {"S", "T", "a\tb"},
        {"Spaced", "K", "v"}, {" Spaced ", " K ", "v"}, {"[ Spaced ]", "K", "DEF"}}},
      {"one pair of equal quotes is removed",
       "[S]\r\nQ1=\"double\"\r\nQ2='single'\r\nQ3=\"unbalanced\r\nQ4=unbalanced\"\r\n"
       "Q5=\"a\" b \"c\"\r\nQ6=\"\"\r\nQ7=\"\r\nQ8=  \" padded \"  \r\nQ9='mixed\"\r\n"
       "Q10=\"\"twice\"\"\r\nQ11=say \"hi\"\r\nQ12=''\r\nQ13=it's\r\n",
       {{"S", "Q1", "double"}, {"S", "Q2", "single"}, {"S", "Q3", "\"unbalanced"}, {"S", "Q4", "unbalanced\""},
        {"S", "Q5", "a\" b \"c"}, {"S", "Q6", ""}, {"S", "Q7", "\""}, {"S", "Q8", " padded "},
        {"S", "Q9", "'mixed\""}, {"S", "Q10", "\"twice\""}, {"S", "Q11", "say \"hi\""}, {"S", "Q12", ""},
        {"S", "Q13", "it's"}}},
      {"comments, blank lines and lines without '='",
       ";top=comment\r\n[S]\r\n;K1=commented\r\n  ;K2=indented comment\r\n#K3=hash\r\n"
       "K4=value ; not a comment\r\nK5=#not a comment\r\n\r\nJustAWord\r\n   \r\nK6=v6\r\n\t\r\n",
       {{"S", "K1", "DEF"}, {"S", ";K1", "DEF"}, {"S", "K2", "DEF"}, {"S", "#K3", "hash"}, {"S", "K3", "DEF"},
        {"S", "K4", "value ; not a comment"}, {"S", "K5", "#not a comment"}, {"S", "JustAWord", "DEF"},
        {"S", "K6", "v6"}}},
      {"the first section and the first key win",
       "[S]\r\nK=first\r\nK=second\r\nk=third\r\n[T]\r\nX=x\r\n[S]\r\nB=3\r\n[s]\r\nC=4\r\n",
       {{"S", "k", "first"}, {"S", "B", "DEF"}, {"S", "C", "DEF"}, {"T", "X", "x"}}},
      {"lines before the first header belong to no section",
       "Orphan=1\r\n[S]\r\nK=v\r\n[]\r\nE=empty-name\r\n",
       {{"", "Orphan", "DEF"}, {"S", "Orphan", "DEF"}, {"", "E", "empty-name"}}},
      {"CR LF, LF and CR line ends, none at the end", "[S]\r\nA=1\nB=2\r[T]\r\n\r\nC=3",
       {{"S", "A", "1"}, {"S", "B", "2"}, {"T", "C", "3"}}},
      {"values are cut to 2047 bytes",
       "[S]\r\nL2046=" + Numbers(2046) + "\r\nL2047=" + Numbers(2047) + "\r\nL3000=" + Numbers(3000) +
           "\r\nQ2046=\"" + Numbers(2046) + "\"\r\n",
       {{"S", "L2046", Numbers(2046)}, {"S", "L2047", Numbers(2047)}, {"S", "L3000", Numbers(2047)},
        {"S", "Q2046", Numbers(2046)}}},
      {"a byte order mark is skipped and bytes come back as stored",
       "\xef\xbb\xbf[S]\r\nK=v\r\nU=caf\xc3\xa9\r\nAll=\x80\x81\xa0\xff\r\n[T]\r\nK=t\r\n",
       {{"S", "K", "v"}, {"S", "U", "caf\xc3\xa9"}, {"S", "All", "\x80\x81\xa0\xff"}, {"T", "K", "t"}}},
      {"a byte order mark before a blank line", "\xef\xbb\xbf\r\n[S]\r\nK=v\r\n", {{"S", "K", "v"}}},
      // "[B" without "]" is a header; "E]" is none, so the first K of [D] wins.
      {"a header name ends at the first bracket",
       "[A] trailing text\r\nK=a\r\n[B\r\nK=b\r\n[C]]\r\nK=c\r\n[D]x]\r\nK=d\r\nE]\r\nK=e\r\n",
       {{"A", "K", "a"}, {"B", "K", "b"}, {"C", "K", "c"}, {"C]", "K", "DEF"}, {"D", "K", "d"},
        {"D]x", "K", "DEF"}}},
      {"'=' in a value, an empty key name and a NUL byte",
       "[S]\r\nURL=http://h/p?a=b&c=d\r\nServer Name = x y\r\n=novalue-key\r\nK==v\r\nN=a\0b\r\nAfter=ok\r\n"s,
       {{"S", "URL", "http://h/p?a=b&c=d"}, {"S", "Server Name", "x y"}, {"S", "Server  Name", "DEF"},
        {"S", "", "novalue-key"}, {"S", "K", "=v"}, {"S", "N", "a"}, {"S", "After", "ok"}}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    IniText ini(c.bytes);
    for (const auto& [s, k, want] : c.reads) EXPECT_EQ(ini.Get(s, k), want) << "[" << s << "] " << k;
  }
}

TEST(IniRead, DefaultsLoseTrailingSpacesAndQuotesAndAnEmptyValueIsNoMissingKey) {
  IniText ini("[S]\r\nK=v\r\nEmpty=\r\nBlank=   \r\nNoEq\r\nQuotes=\"\"\r\n");
  const std::array<std::string, 4> cases[] = {
      {"S", "missing", "", ""}, {"S", "missing", "dflt   ", "dflt"}, {"S", "missing", "   dflt", "   dflt"},
      {"S", "missing", "dflt\t", "dflt\t"}, {"S", "missing", "\"quoted\"", "quoted"}, {"S", "missing", "'q'", "q"},
      {"S", "missing", Numbers(3000), Numbers(2047)}, {"S", "K", "dflt   ", "v"},
      {"S", "Empty", "dflt", ""}, {"S", "Blank", "dflt", ""}, {"S", "NoEq", "dflt", "dflt"},
      {"S", "Quotes", "dflt", ""}, {"Nosuch", "Empty", "dflt", "dflt"},
  };
  for (const auto& [s, k, d, want] : cases) EXPECT_EQ(ini.Get(s, k, d), want) << k << " / " << d;
  // A missing file or folder reads as empty, and a read creates nothing.
  TempDir dir;
  EXPECT_EQ(ReadOne(dir.File("none.ini"), "S", "K", "dflt"), "dflt");
  EXPECT_EQ(ReadOne(dir.File("no/such/dir.ini"), "S", "K", "dflt"), "dflt");
  EXPECT_FALSE(FileExists(dir.File("none.ini")));
}

TEST(IniRead, IntegersAndBooleans) {
  IniText ini(
      "[N]\r\nDec=8765\r\nNeg=-12\r\nPlus=+7\r\nHex=0x2000\r\nUpper=0X1f\r\nBare0x=0x\r\n"
      "Letters=abc\r\nTail=12abc\r\nMax=2147483647\r\nMin=-2147483648\r\nOver=2147483648\r\n"
      "Under=-2147483649\r\nHexOver=0x80000000\r\nHexMax=0x7FFFFFFF\r\nEmpty=\r\nQuoted=\"42\"\r\n"
      "Space=1 2\r\nHexBad=0x1g\r\nZeros=007\r\n"
      "[B]\r\nZero=0\r\nOne=1\r\nFive=5\r\nMinus=-1\r\nWord=yes\r\n");
  const std::pair<const char*, int32_t> numbers[] = {
      {"Dec", 8765}, {"Neg", -12}, {"Plus", 7}, {"Hex", 8192}, {"Upper", 31}, {"Bare0x", -5}, {"Letters", -5},
      {"Tail", -5}, {"Max", 2147483647}, {"Min", INT32_MIN}, {"Over", -5}, {"Under", -5}, {"HexOver", -5},
      {"HexMax", 2147483647}, {"Empty", -5}, {"Quoted", 42}, {"Space", -5}, {"HexBad", -5}, {"Zeros", 7},
      {"Missing", -5}};
  const IniFile f(ini.path);
  for (const auto& [key, want] : numbers) EXPECT_EQ(f.ReadInteger("N", key, -5), want) << key;
  // {key, default, result}: a number that is not 0 is true; no number gives the default.
  const std::tuple<const char*, bool, bool> flags[] = {
      {"Zero", true, false}, {"One", false, true},   {"Five", false, true},   {"Minus", false, true},
      {"Word", true, true},  {"Word", false, false}, {"Missing", true, true}};
  for (const auto& [key, dflt, want] : flags) EXPECT_EQ(f.ReadBool("B", key, dflt), want) << key << dflt;
}

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
      {"a write creates the file, sections and keys are appended in write order", nullptr,
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
  EXPECT_EQ(ModeOf(p), 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
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
