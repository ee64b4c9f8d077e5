// Shared helpers, the diagnostic sink and the file layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <thread>

#include "sp_message.h"
#include "test_support.h"

using sptest::LogCapture;

TEST(Helpers, LevelsSortsAndPaths) {
  EXPECT_EQ(PowToDB(1e-10f), -100.0f);  // just above 1e-10 in double, still -100 after rounding
  EXPECT_EQ(PowToDB(-5.0f), -100.0f);
  EXPECT_NEAR(PowToDB(1.1e-10f), -99.586f, 1e-3f);
  EXPECT_EQ(PowToDB(1000.0f), 30.0f);
  // The logarithm is rounded to single precision before the product.
  EXPECT_EQ(PowToDB(0.3f), 10.0f * static_cast<float>(std::log10(static_cast<double>(0.3f))));
  EXPECT_EQ(DBToPow(-40.0f), static_cast<float>(std::pow(10.0, -4.0)));

  const float src[] = {1.0f, 5.0f, 3.0f, 5.0f, -2.0f};
  float dst[5];
  SortDescending(src, dst, 5, -1);
  EXPECT_EQ(std::vector<float>(dst, dst + 5), (std::vector<float>{5, 5, 3, 1, -2}));
  SortDescending(src, dst, 5, 1);  // only the largest is brought to the front
  EXPECT_EQ(dst[0], 5.0f);
  EXPECT_EQ(dst[1], 1.0f);  // swapped out of the front
  SortDescending(nullptr, dst, 5, -1);  // ignored
  // A whole sort gives what the selection sort gives, ties and all; with a negative zero the
  // selection sort's own order stays.
  std::vector<float> many(3001), whole(3001), partial(3001);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<float>((i * 7919u) % 613u) * 0.25f;
  SortDescending(many.data(), whole.data(), 3001, -1);
  SortDescending(many.data(), partial.data(), 3001, 2999);  // the selection sort, all but the last two
  whole.resize(2999);
  partial.resize(2999);
  EXPECT_EQ(whole, partial);
  // Large sets are sorted by their bits: the same order as comparing them, negative numbers,
  // infinities, denormals and ties included.
  std::vector<float> mixed(5000), bybits(5000);
  for (std::size_t i = 0; i < mixed.size(); ++i)
    mixed[i] = std::ldexp(static_cast<float>((i * 7919u) % 1013u) - 506.0f, static_cast<int>((i * 31u) % 300u) - 150);
  mixed[17] = INFINITY, mixed[18] = -INFINITY, mixed[19] = 1e-45f, mixed[20] = -1e-45f;
  SortDescending(mixed.data(), bybits.data(), 5000, -1);
  std::sort(mixed.begin(), mixed.end(), std::greater<float>());
  EXPECT_EQ(bybits, mixed);
  const float zeros[] = {0.0f, -0.0f, 1.0f};
  SortDescending(zeros, dst, 3, -1);
  EXPECT_TRUE(std::signbit(dst[1]) && !std::signbit(dst[2]));

  const int values[] = {40, 25, 40, 10};
  int sorted[4], index[4];
  ASSERT_EQ(SortAscendingWithIndex(values, sorted, 4, index, -1), 1);
  EXPECT_EQ(std::vector<int>(index, index + 4), (std::vector<int>{3, 1, 0, 2}));  // stable for ties
  EXPECT_EQ(std::vector<int>(sorted, sorted + 4), (std::vector<int>{10, 25, 40, 40}));
  ASSERT_EQ(SortAscendingWithIndex(values, sorted, 4, index, 2), 1);
  EXPECT_EQ(index[1], 1);
  EXPECT_EQ(SortAscendingWithIndex(values, sorted, 1, index, -1), 0);
  EXPECT_EQ(SortAscendingWithIndex(nullptr, sorted, 4, index, -1), 0);

  const std::pair<std::string, const char*> paths[] = {
      {"C:\\snd\\jingle.wav", "jingle.wav"}, {"/home/u/clip.tvs", "clip.tvs"}, {"plain", "plain"},
      {"dir/", ""}, {"D:name", "name"}};
  for (auto [path, name] : paths) EXPECT_STREQ(FileNameOfPath(path.data()), name) << path;
  EXPECT_EQ(FileNameOfPath(static_cast<char*>(nullptr)), nullptr);
}

TEST(Sink, CaptureCodePageCuttingAndThreads) {
  EXPECT_EQ(OutLogMessage(0, "nobody listens"), 1);  // no handler: written nowhere, still 1
  {
    LogCapture log;
    sp::LogLine(3, CP1251("Ошибка записи в файл тестовых данных"));
    sp::LogFormat(0, CP1251("образец %d, файл %s"), 7, "x.tvs");
    sp::LogFormat(0, "name %s end", std::string(2000, 'n').c_str());
    ASSERT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(log.lines()[0].channel, 3u);
    EXPECT_EQ(log.lines()[0].utf8, "Ошибка записи в файл тестовых данных");
    EXPECT_EQ(static_cast<unsigned char>(log.lines()[0].raw[0]), 0xCE);  // 'О' in Windows-1251
    EXPECT_EQ(log.lines()[1].utf8, "образец 7, файл x.tvs");
    // Long lines are cut to the buffer, not overrun.
    EXPECT_EQ(log.lines()[2].raw.size(), sp::kMessageBufferSize - 1);
    EXPECT_EQ(log.lines()[2].raw.substr(0, 6), "name n");
  }
  // One code page both ways, at compile time as at run time: every character it has comes back,
  // one it lacks is '?'.
  constexpr const char* kAll = "Ёё№ abc АЯая «’€™…—» Ђђ";
  EXPECT_EQ(Cp1251ToUtf8(Utf8ToCp1251(kAll).c_str()), kAll);
  EXPECT_EQ(std::string(CP1251("Ёё№ abc АЯая «’€™…—» Ђђ")), Utf8ToCp1251(kAll));
  EXPECT_EQ(Utf8ToCp1251("Ω"), "?");
  EXPECT_EQ(std::string(CP1251("Ω")), "?");
  char* other = nullptr;
  std::thread([&] { other = sp::MessageBuffer(); }).join();
  EXPECT_NE(sp::MessageBuffer(), other);
}

TEST(FileLayer, WriteReadPositionAndFailures) {
  sptest::TempDir dir;
  std::string path = dir.File("f.bin");
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_FLAG_RANDOM_ACCESS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "abcdefgh", 8, &n, nullptr));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
  ASSERT_TRUE(WriteFile(h, "XY", 2, &n, nullptr));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 4u);
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_END), 7u);
  EXPECT_EQ(SetFilePointer(h, -10, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetFileSize(h, nullptr), 8u);
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  char buf[16] = {};
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));  // a short read at the end is not an error
  EXPECT_EQ(std::string(buf, n), "abXYefgh");
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(CloseHandle(h));

  // OPEN_EXISTING keeps the file, a read-only handle cannot write, CREATE_ALWAYS truncates.
  h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(GetFileSize(h, nullptr), 8u);
  EXPECT_FALSE(WriteFile(h, "z", 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
  h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);

  for (const std::string& bad : {dir.File("missing"), dir.path(), std::string()})  // a directory is no file
    EXPECT_EQ(CreateFileA(bad.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
        << bad;
  n = 5;
  char c;
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, &c, 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}
