#include "web/control_access.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace {

constexpr int kIpv4Bits = 32;

uint32_t MaskOf(int prefixBits) { return prefixBits == 0 ? 0 : ~uint32_t{0} << (kIpv4Bits - prefixBits); }

std::optional<uint32_t> ParseIpv4(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    return ntohl(address.s_addr);
}

std::optional<AddressBlock> ParseBlock(std::string_view item) {
    const size_t slash = item.find('/');
    const std::optional<uint32_t> address = ParseIpv4(std::string(item.substr(0, slash)));
    if (!address) return std::nullopt;
    int prefixBits = kIpv4Bits;
    if (slash != std::string_view::npos) {
        const std::string_view bits = item.substr(slash + 1);
        const auto [stop, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefixBits);
        if (bits.empty() || error != std::errc() || stop != bits.data() + bits.size() || prefixBits < 0 ||
            prefixBits > kIpv4Bits) {
            return std::nullopt;
        }
    }
    return AddressBlock{*address & MaskOf(prefixBits), prefixBits};
}

}  // namespace

std::optional<std::vector<AddressBlock>> ParseAddressBlocks(std::string_view text, std::string& error) {
    static constexpr std::string_view kSeparators = ", \t";
    std::vector<AddressBlock> blocks;
    for (size_t start = text.find_first_not_of(kSeparators); start != std::string_view::npos;
         start = text.find_first_not_of(kSeparators, start)) {
        const size_t end = std::min(text.find_first_of(kSeparators, start), text.size());
        const std::string_view item = text.substr(start, end - start);
        const std::optional<AddressBlock> block = ParseBlock(item);
        if (!block) {
            // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict)
            // about assigning or prepending a literal to a string.
            std::string complaint(1, '"');
            error = complaint.append(item).append("\" is not an IPv4 address or CIDR block (A.B.C.D or A.B.C.D/BITS)");
            return std::nullopt;
        }
        blocks.push_back(*block);
        start = end;
    }
    if (blocks.empty()) {
        error = "names no address; leave it unset to allow anyone";
        return std::nullopt;
    }
    return blocks;
}

bool AddressAllowed(const std::vector<AddressBlock>& blocks, const char* address) {
    const std::optional<uint32_t> peer = ParseIpv4(address ? address : "");
    if (!peer) return false;
    for (const AddressBlock& block : blocks) {
        if ((*peer & MaskOf(block.prefixBits)) == block.network) return true;
    }
    return false;
}

std::string FormatAddressBlocks(const std::vector<AddressBlock>& blocks) {
    std::string text;
    for (const AddressBlock& block : blocks) {
        char address[INET_ADDRSTRLEN] = "";
        const in_addr network{htonl(block.network)};
        inet_ntop(AF_INET, &network, address, sizeof address);
        if (!text.empty()) text += ", ";
        text.append(address).append("/").append(std::to_string(block.prefixBits));
    }
    return text;
}
