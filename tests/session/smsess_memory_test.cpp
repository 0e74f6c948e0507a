// A server may announce a large page and then send little of it: only the memory that arriving
// bytes reach may become resident, and the zero byte behind the page still holds.
#include <gtest/gtest.h>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "script_server.h"

namespace {

size_t residentPages(void* block, size_t size) {
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + pageSize - 1) / pageSize);
    if (mincore(block, size, resident.data()) != 0) return SIZE_MAX;
    size_t count = 0;
    for (unsigned char page : resident) count += page & 1;
    return count;
}

TEST(PageData, OnlyWhatArrivesBecomesResident) {
    constexpr size_t kAnnounced = size_t{16} << 20;
    for (bool complete : {false, true}) {
        Scripted r;
        r.s->state = kSmReady;
        r.s->secure = 0;  // the bytes are kept as they came
        const std::string sent(complete ? 3000 : 2000, 'x');
        r.t.queue(sent);
        const int32_t amount = complete ? 3000 : static_cast<int32_t>(kAnnounced);
        void* block = mmap(nullptr, kAnnounced + 1, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(block, MAP_FAILED);
        auto* bytes = static_cast<unsigned char*>(block);
        bytes[amount] = 'z';
        EXPECT_EQ(smRecvData(r.s.s, bytes, amount), complete ? amount : -1);
        EXPECT_LE(residentPages(block, kAnnounced + 1), 2u) << "complete " << complete;
        if (complete) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), sent.size()), sent);
            EXPECT_EQ(bytes[amount], 0) << "the zero byte behind the page";
        }
        munmap(block, kAnnounced + 1);
    }
}

}  // namespace
#endif
