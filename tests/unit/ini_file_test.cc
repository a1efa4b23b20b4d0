// Reading INI files: how names, blanks, quotes, comments, sections, line ends, long values and
// odd bytes are taken, and the numbers and flags read from the text.
#include "core/ini_file.h"

#include <gtest/gtest.h>

#include <array>
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
      {"LF line ends", "[S]\nA=1\nB=2\n[T]\nC=3\n", {{"S", "A", "1"}, {"S", "B", "2"}, {"T", "C", "3"}}},
      {"CR line ends", "[S]\rA=1\rB=2\r[T]\rC=3\r", {{"S", "A", "1"}, {"S", "B", "2"}, {"T", "C", "3"}}},
      {"mixed line ends, none at the end", "[S]\r\nA=1\nB=2\r[T]\r\n\r\nC=3",
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
      {"room keys are ordinary names", "[Channels]\r\n0=Default\r\n1=Lobby\r\n3=After gap\r\n01=leading zero\r\n",
       {{"Channels", "1", "Lobby"}, {"Channels", "2", "DEF"}, {"Channels", "01", "leading zero"}}},
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

}  // namespace
}  // namespace pv::test
