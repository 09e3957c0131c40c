// The settings file parser: parse, write, parse again must give the same values, and the
// written form is stable and fully readable.
#include "check.h"
#include "platform/regfile.h"

#include <cstddef>
#include <cstdint>

using tarvo::platform::RegDocument;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const RegDocument first =
        RegDocument::Parse(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    const QByteArray written = first.Serialize();
    const RegDocument second = RegDocument::Parse(written);
    FUZZ_CHECK(second.unreadableLines() == 0);
    FUZZ_CHECK(second.Serialize() == written);
    FUZZ_CHECK(second.keys().size() == first.keys().size());
    for (const auto& key : first.keys()) {
        for (const auto& entry : key.values) {
            const auto* again = second.Find(key.path, entry.name);
            FUZZ_CHECK(again != nullptr);
            FUZZ_CHECK(*again == entry.value);
        }
    }
    return 0;
}
