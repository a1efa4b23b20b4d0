#include "core/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "base/printf.h"
#include "unit/ini_test_util.h"

namespace pv {
namespace {

using pv::testing::FileBytes;
using pv::testing::FileExists;
using pv::testing::Inode;
using pv::testing::PutFile;
using pv::testing::TempDir;

// A fresh file holding `bytes`, read through an IniFile.
class IniText {
 public:
  explicit IniText(const std::string& bytes) {
    PutFile(dir_.File("t.ini"), bytes);
    file_ = std::make_unique<IniFile>(dir_.File("t.ini"));
  }
  std::string Get(std::string_view s, std::string_view k, std::string_view d = "DEF") const {
    return file_->ReadString(s, k, d);
  }
  const IniFile& File() const { return *file_; }

 private:
  TempDir dir_;
  std::unique_ptr<IniFile> file_;
};

// "00000,00006,00012,..." cut to n bytes.
std::string Numbers(size_t n) {
  std::string s;
  for (int i = 0; s.size() < n; i += 6) s += Printf("%05d,", i);
  return s.substr(0, n);
}

TEST(IniRead, NamesMatchIgnoringAsciiCaseOnly) {
  IniText ini("[General]\r\nServername=Parleyvox Server\r\n[Caf\xe9]\r\n\xc4K=x\r\n");
  EXPECT_EQ(ini.Get("GENERAL", "SERVERNAME"), "Parleyvox Server");
  EXPECT_EQ(ini.Get("gEnErAl", "sErVeRnAmE"), "Parleyvox Server");
  EXPECT_EQ(ini.Get("General", "Servername2"), "DEF");
  EXPECT_EQ(ini.Get("caf\xc9", "\xe4k"), "DEF");
  EXPECT_EQ(ini.Get("Caf\xe9", "\xc4K"), "x");
}

TEST(IniRead, BlanksAroundNamesHeadersAndValuesAreTrimmed) {
  IniText ini(
      "[S]\r\nA = one\r\nB=   two   \r\nC\t=\tthree\t\r\nD =  in  ner  spaces  \r\n"
      "   E=indented key\r\nF=\x0bvt\x0b\r\nG=\x0c" "ff\x0c\r\nZ=v\x1a\r\nT=a\tb\r\n"
      "  [ Spaced ]  \r\nK=v\r\n");
  EXPECT_EQ(ini.Get("S", "A"), "one");
  EXPECT_EQ(ini.Get("S", "B"), "two");
  EXPECT_EQ(ini.Get("S", "C"), "three");
  EXPECT_EQ(ini.Get("S", "D"), "in  ner  spaces");
  EXPECT_EQ(ini.Get("S", "E"), "indented key");
  EXPECT_EQ(ini.Get("S", "F"), "vt");
  EXPECT_EQ(ini.Get("S", "G"), "ff");
  EXPECT_EQ(ini.Get("S", "Z"), "v");
  EXPECT_EQ(ini.Get("S", "T"), "a\tb");
  EXPECT_EQ(ini.Get("Spaced", "K"), "v");
  EXPECT_EQ(ini.Get(" Spaced ", " K "), "v");
  EXPECT_EQ(ini.Get("[ Spaced ]", "K"), "DEF");
}

TEST(IniRead, OnePairOfEqualQuotesIsRemoved) {
  IniText ini(
      "[S]\r\nQ1=\"double\"\r\nQ2='single'\r\nQ3=\"unbalanced\r\nQ4=unbalanced\"\r\n"
      "Q5=\"a\" b \"c\"\r\nQ6=\"\"\r\nQ7=\"\r\nQ8=  \" padded \"  \r\nQ9='mixed\"\r\n"
      "Q10=\"\"twice\"\"\r\nQ11=say \"hi\"\r\nQ12=''\r\nQ13=it's\r\n");
  EXPECT_EQ(ini.Get("S", "Q1"), "double");
  EXPECT_EQ(ini.Get("S", "Q2"), "single");
  EXPECT_EQ(ini.Get("S", "Q3"), "\"unbalanced");
  EXPECT_EQ(ini.Get("S", "Q4"), "unbalanced\"");
  EXPECT_EQ(ini.Get("S", "Q5"), "a\" b \"c");
  EXPECT_EQ(ini.Get("S", "Q6"), "");
  EXPECT_EQ(ini.Get("S", "Q7"), "\"");
  EXPECT_EQ(ini.Get("S", "Q8"), " padded ");
  EXPECT_EQ(ini.Get("S", "Q9"), "'mixed\"");
  EXPECT_EQ(ini.Get("S", "Q10"), "\"twice\"");
  EXPECT_EQ(ini.Get("S", "Q11"), "say \"hi\"");
  EXPECT_EQ(ini.Get("S", "Q12"), "");
  EXPECT_EQ(ini.Get("S", "Q13"), "it's");
}

TEST(IniRead, DefaultLosesTrailingSpacesAndQuotes) {
  IniText ini("[S]\r\nK=v\r\n");
  EXPECT_EQ(ini.Get("S", "missing", ""), "");
  EXPECT_EQ(ini.Get("S", "missing", "dflt   "), "dflt");
  EXPECT_EQ(ini.Get("S", "missing", "   dflt"), "   dflt");
  EXPECT_EQ(ini.Get("S", "missing", "dflt\t"), "dflt\t");
  EXPECT_EQ(ini.Get("S", "missing", "\"quoted\""), "quoted");
  EXPECT_EQ(ini.Get("S", "missing", "'q'"), "q");
  EXPECT_EQ(ini.Get("S", "missing", Numbers(3000)), Numbers(2047));
  EXPECT_EQ(ini.Get("S", "K", "dflt   "), "v");
}

TEST(IniRead, CommentsBlankLinesAndLinesWithoutEquals) {
  IniText ini(
      ";top=comment\r\n[S]\r\n;K1=commented\r\n  ;K2=indented comment\r\n#K3=hash\r\n"
      "K4=value ; not a comment\r\nK5=#not a comment\r\n\r\nJustAWord\r\n   \r\nK6=v6\r\n\t\r\n");
  EXPECT_EQ(ini.Get("S", "K1"), "DEF");
  EXPECT_EQ(ini.Get("S", ";K1"), "DEF");  // a comment is never a key
  EXPECT_EQ(ini.Get("S", "K2"), "DEF");
  EXPECT_EQ(ini.Get("S", "#K3"), "hash");
  EXPECT_EQ(ini.Get("S", "K3"), "DEF");
  EXPECT_EQ(ini.Get("S", "K4"), "value ; not a comment");
  EXPECT_EQ(ini.Get("S", "K5"), "#not a comment");
  EXPECT_EQ(ini.Get("S", "JustAWord"), "DEF");
  EXPECT_EQ(ini.Get("S", "K6"), "v6");
}

TEST(IniRead, FirstSectionAndFirstKeyWin) {
  IniText ini("[S]\r\nK=first\r\nK=second\r\nk=third\r\n[T]\r\nX=x\r\n[S]\r\nB=3\r\n[s]\r\nC=4\r\n");
  EXPECT_EQ(ini.Get("S", "k"), "first");
  EXPECT_EQ(ini.Get("S", "B"), "DEF");
  EXPECT_EQ(ini.Get("S", "C"), "DEF");
  EXPECT_EQ(ini.Get("T", "X"), "x");
}

TEST(IniRead, LinesBeforeTheFirstHeaderBelongToNoSection) {
  IniText ini("Orphan=1\r\n[S]\r\nK=v\r\n[]\r\nE=empty-name\r\n");
  EXPECT_EQ(ini.Get("", "Orphan"), "DEF");
  EXPECT_EQ(ini.Get("S", "Orphan"), "DEF");
  EXPECT_EQ(ini.Get("", "E"), "empty-name");
}

TEST(IniRead, AnyLineEndAndNoFinalLineEnd) {
  for (const char* bytes : {"[S]\nA=1\nB=2\n[T]\nC=3\n", "[S]\rA=1\rB=2\r[T]\rC=3\r",
                            "[S]\r\nA=1\nB=2\r[T]\r\n\r\nC=3"}) {
    IniText ini(bytes);
    EXPECT_EQ(ini.Get("S", "A") + ini.Get("S", "B") + ini.Get("T", "C"), "123") << bytes;
  }
}

TEST(IniRead, ValuesAreCutTo2047Bytes) {
  IniText ini("[S]\r\nL2046=" + Numbers(2046) + "\r\nL2047=" + Numbers(2047) + "\r\nL3000=" +
              Numbers(3000) + "\r\nQ2046=\"" + Numbers(2046) + "\"\r\n");
  EXPECT_EQ(ini.Get("S", "L2046"), Numbers(2046));
  EXPECT_EQ(ini.Get("S", "L2047"), Numbers(2047));
  EXPECT_EQ(ini.Get("S", "L3000"), Numbers(2047));
  EXPECT_EQ(ini.Get("S", "Q2046"), Numbers(2046));
}

TEST(IniRead, EmptyValueIsNotAMissingKey) {
  IniText ini("[S]\r\nEmpty=\r\nBlank=   \r\nNoEq\r\nQuotes=\"\"\r\n");
  EXPECT_EQ(ini.Get("S", "Empty", "dflt"), "");
  EXPECT_EQ(ini.Get("S", "Blank", "dflt"), "");
  EXPECT_EQ(ini.Get("S", "NoEq", "dflt"), "dflt");
  EXPECT_EQ(ini.Get("S", "Quotes", "dflt"), "");
  EXPECT_EQ(ini.Get("S", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.Get("Nosuch", "Empty", "dflt"), "dflt");
}

TEST(IniRead, MissingFileOrFolderGivesDefaults) {
  TempDir dir;
  EXPECT_EQ(IniReadString(dir.File("none.ini"), "S", "K", "dflt"), "dflt");
  EXPECT_EQ(IniReadString(dir.File("no/such/dir.ini"), "S", "K", "dflt"), "dflt");
  EXPECT_FALSE(FileExists(dir.File("none.ini")));
}

TEST(IniRead, ByteOrderMarkIsSkippedAndBytesComeBackAsStored) {
  IniText ini("\xef\xbb\xbf[S]\r\nK=v\r\nU=caf\xc3\xa9\r\nAll=\x80\x81\xa0\xff\r\n[T]\r\nK=t\r\n");
  EXPECT_EQ(ini.Get("S", "K"), "v");
  EXPECT_EQ(ini.Get("S", "U"), "caf\xc3\xa9");
  EXPECT_EQ(ini.Get("S", "All"), "\x80\x81\xa0\xff");
  EXPECT_EQ(ini.Get("T", "K"), "t");
  IniText blank_first("\xef\xbb\xbf\r\n[S]\r\nK=v\r\n");
  EXPECT_EQ(blank_first.Get("S", "K"), "v");
}

TEST(IniRead, HeaderNameEndsAtTheFirstBracket) {
  IniText ini("[A] trailing text\r\nK=a\r\n[B\r\nK=b\r\n[C]]\r\nK=c\r\n[D]x]\r\nK=d\r\nE]\r\nK=e\r\n");
  EXPECT_EQ(ini.Get("A", "K"), "a");
  EXPECT_EQ(ini.Get("B", "K"), "b");  // "[B" without "]" is a header
  EXPECT_EQ(ini.Get("C", "K"), "c");
  EXPECT_EQ(ini.Get("C]", "K"), "DEF");
  EXPECT_EQ(ini.Get("D", "K"), "d");  // "E]" is no header; the first K of [D] wins
  EXPECT_EQ(ini.Get("D]x", "K"), "DEF");
}

TEST(IniRead, EqualsInValueEmptyKeyNameAndNulByte) {
  IniText ini("[S]\r\nURL=http://h/p?a=b&c=d\r\nServer Name = x y\r\n=novalue-key\r\nK==v\r\n"
              "N=a" + std::string(1, '\0') + "b\r\nAfter=ok\r\n");
  EXPECT_EQ(ini.Get("S", "URL"), "http://h/p?a=b&c=d");
  EXPECT_EQ(ini.Get("S", "Server Name"), "x y");
  EXPECT_EQ(ini.Get("S", "Server  Name"), "DEF");
  EXPECT_EQ(ini.Get("S", ""), "novalue-key");
  EXPECT_EQ(ini.Get("S", "K"), "=v");
  EXPECT_EQ(ini.Get("S", "N"), "a");
  EXPECT_EQ(ini.Get("S", "After"), "ok");
}

TEST(IniRead, ChannelKeysAreOrdinaryNames) {
  IniText ini("[Channels]\r\n0=Default\r\n1=Lobby\r\n3=After gap\r\n01=leading zero\r\n");
  EXPECT_EQ(ini.Get("Channels", "1", ""), "Lobby");
  EXPECT_EQ(ini.Get("Channels", "2", ""), "");
  EXPECT_EQ(ini.Get("Channels", "01", ""), "leading zero");
}

TEST(IniRead, Integers) {
  IniText ini(
      "[N]\r\nDec=8765\r\nNeg=-12\r\nPlus=+7\r\nHex=0x2000\r\nUpper=0X1f\r\nBare0x=0x\r\n"
      "Letters=abc\r\nTail=12abc\r\nMax=2147483647\r\nMin=-2147483648\r\nOver=2147483648\r\n"
      "Under=-2147483649\r\nHexOver=0x80000000\r\nHexMax=0x7FFFFFFF\r\nEmpty=\r\nQuoted=\"42\"\r\n"
      "Space=1 2\r\nHexBad=0x1g\r\nZeros=007\r\n");
  auto get = [&](const char* key) { return ini.File().ReadInteger("N", key, -5); };
  EXPECT_EQ(get("Dec"), 8765);
  EXPECT_EQ(get("Neg"), -12);
  EXPECT_EQ(get("Plus"), 7);
  EXPECT_EQ(get("Hex"), 8192);
  EXPECT_EQ(get("Upper"), 31);
  EXPECT_EQ(get("Bare0x"), -5);
  EXPECT_EQ(get("Letters"), -5);
  EXPECT_EQ(get("Tail"), -5);
  EXPECT_EQ(get("Max"), 2147483647);
  EXPECT_EQ(get("Min"), INT32_MIN);
  EXPECT_EQ(get("Over"), -5);
  EXPECT_EQ(get("Under"), -5);
  EXPECT_EQ(get("HexOver"), -5);
  EXPECT_EQ(get("HexMax"), 2147483647);
  EXPECT_EQ(get("Empty"), -5);
  EXPECT_EQ(get("Quoted"), 42);
  EXPECT_EQ(get("Space"), -5);
  EXPECT_EQ(get("HexBad"), -5);
  EXPECT_EQ(get("Zeros"), 7);
  EXPECT_EQ(get("Missing"), -5);
}

TEST(IniRead, Booleans) {
  IniText ini("[B]\r\nZero=0\r\nOne=1\r\nFive=5\r\nMinus=-1\r\nWord=yes\r\n");
  const IniFile& f = ini.File();
  EXPECT_FALSE(f.ReadBool("B", "Zero", true));
  EXPECT_TRUE(f.ReadBool("B", "One", false));
  EXPECT_TRUE(f.ReadBool("B", "Five", false));
  EXPECT_TRUE(f.ReadBool("B", "Minus", false));
  EXPECT_TRUE(f.ReadBool("B", "Word", true));
  EXPECT_FALSE(f.ReadBool("B", "Word", false));
  EXPECT_TRUE(f.ReadBool("B", "Missing", true));
}

}  // namespace
}  // namespace pv
