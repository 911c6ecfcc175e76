#include "veskread/extract/param_block.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"

namespace vesk {

namespace {

// Strict UTF-8 as Python's codec checks it (no overlongs, no surrogates).
bool valid_utf8(std::string_view s) {
    size_t i = 0;
    auto cont = [&](size_t k) { return k < s.size() && (uint8_t(s[k]) & 0xC0) == 0x80; };
    while (i < s.size()) {
        uint8_t c = uint8_t(s[i]);
        if (c < 0x80) {
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF) {
            if (!cont(i + 1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(i + 1) || !cont(i + 2)) return false;
            uint8_t c1 = uint8_t(s[i + 1]);
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) return false;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return false;
            uint8_t c1 = uint8_t(s[i + 1]);
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

std::string_view strip_nuls(std::string_view s) {
    while (!s.empty() && s.front() == '\0') s.remove_prefix(1);
    while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
    return s;
}

// Whether the character of a key (UTF-8) at `i` is shown as an escape: a
// control character (a NUL would end the message's text; ESC, the 8-bit CSI,
// drive the terminal that shows it) or one that reorders the text around it
// or breaks its line. Sets its length and code point.
bool escaped_at(const std::string& key, size_t i, size_t& len, unsigned& code) {
    auto at = [&](size_t k) { return k < key.size() ? unsigned(uint8_t(key[k])) : 0u; };
    unsigned c = at(i), c1 = at(i + 1), c2 = at(i + 2);
    len = 1;
    code = c;
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && c1 >= 0x80 && c1 <= 0x9F) {
        len = 2;
        code = c1;
        return true;
    }
    if (c == 0xE2 &&
        ((c1 == 0x80 && c2 >= 0xA8 && c2 <= 0xAE) || (c1 == 0x81 && c2 >= 0xA6 && c2 <= 0xA9))) {
        len = 3;
        code = 0x2000 | (c1 & 0x3F) << 6 | (c2 & 0x3F);
        return true;
    }
    return false;
}

// A key as a message shows it, such characters written as Python writes
// them in a repr (\x1b, \n, \u202e).
std::string shown_key(const std::string& key) {
    std::string out;
    for (size_t i = 0, len = 1; i < key.size(); i += len) {
        unsigned code = 0;
        if (!escaped_at(key, i, len, code)) {
            out += key[i];
        } else if (code == '\t' || code == '\n' || code == '\r') {
            out += code == '\t' ? "\\t" : code == '\n' ? "\\n" : "\\r";
        } else {
            char text[8];
            std::snprintf(text, sizeof text, code > 0xFF ? "\\u%04x" : "\\x%02x", code);
            out += text;
        }
    }
    return out;
}

// Keys are at most four bytes: comparing them in place beats a call to memcmp.
bool same_key(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

} // namespace

size_t ParamBlock::position(const std::string& key) const {
    if (!index_.empty()) {
        auto it = index_.find(key);
        return it == index_.end() ? kAbsent : it->second;
    }
    for (size_t i = 0; i < entries_.size(); ++i)
        if (same_key(entries_[i].first, key)) return i;
    return kAbsent;
}

void ParamBlock::set(std::string key, ParamValue value) {
    if (size_t at = position(key); at != kAbsent) {
        entries_[at].second = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (!index_.empty()) {
        index_.emplace(entries_.back().first, entries_.size() - 1);
    } else if (entries_.size() > kIndexFrom) {
        index_.reserve(2 * entries_.size());
        for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    }
}

void ParamBlock::update(const ParamBlock& other) { update(other.entries_); }

void ParamBlock::update(const std::vector<std::pair<std::string, ParamValue>>& records) {
    for (const auto& [k, v] : records) set(k, v);
}

void ParamBlock::update(std::vector<std::pair<std::string, ParamValue>>&& records) {
    if (entries_.empty() && records.size() <= kIndexFrom) {
        // A block read afresh: its records stay where they are, and a
        // repeated key hands its value to the first.
        entries_ = std::move(records);
        size_t kept = 0;
        for (size_t i = 0; i < entries_.size(); ++i) {
            size_t first = 0;
            while (first < kept && !same_key(entries_[first].first, entries_[i].first)) ++first;
            if (first < kept)
                entries_[first].second = std::move(entries_[i].second);
            else if (kept++ != i)
                entries_[kept - 1] = std::move(entries_[i]);
        }
        entries_.resize(kept);
        return;
    }
    for (auto& [k, v] : records) set(std::move(k), std::move(v));
}

const ParamValue* ParamBlock::find(const std::string& key) const {
    size_t at = position(key);
    return at == kAbsent ? nullptr : &entries_[at].second;
}

const ParamValue& ParamBlock::at(const std::string& key) const {
    const ParamValue* v = find(key);
    if (!v) throw_missing_key(key);
    return *v;
}

ParamBlock read_param_block(Cursor& cur, int64_t offset) {
    ParamBlock params;
    params.update(read_param_records(cur, offset));
    return params;
}

ParamRecords read_param_records(Cursor& cur, int64_t offset) {
    size_t spent = 0;
    return read_param_records(cur, offset, spent);
}

namespace {
// A record of 8 to 12 bytes becomes a key and a value of the caller's dict,
// some 250 bytes on the way: 20 to 30 times what the file holds.
constexpr size_t kRecordBytes = 256;

[[noreturn]] void refuse_records(const char* what, size_t most, int64_t file_size, int64_t at) {
    throw Error(ErrorKind::Value,
                std::string(what) + " hold more than " + std::to_string(most / kRecordBytes) +
                    " records; a file of " + std::to_string(file_size) + " bytes cannot hold that",
                at);
}
} // namespace

ParamRecords read_param_records(Cursor& cur, int64_t offset, size_t& spent,
                                std::optional<Error>* cut, std::string* damage) {
    const auto most = static_cast<size_t>(output_limit(cur.source_size()));
    ParamRecords params;
    params.reserve(16); // most blocks hold fewer records
    cur.seek(offset);
    bool text_cut = false; // the last record's text runs past the end
    try {
        for (;;) {
            poll_interrupt(8);
            int64_t record_at = cur.tell();
            if (spent >= most)
                refuse_records("parameter blocks", most, cur.source_size(), record_at);
            spent += kRecordBytes;
            std::string raw = cur.read_upto(4);
            if (!valid_utf8(raw))
                throw Error(ErrorKind::KeyNotUtf8,
                            "parameter key at offset " + std::to_string(record_at) +
                                " is not UTF-8",
                            record_at, 0, raw);
            std::string key(strip_nuls(raw));
            if (key == "END") return params;
            int16_t type = cur.read_i16();
            int16_t size = cur.read_i16();
            switch (type) {
            case 0:
                params.emplace_back(std::move(key), cur.read_i32());
                break;
            case 1:
                params.emplace_back(std::move(key), cur.read_f64());
                break;
            case 2:
            case 3:
            case 4: {
                if (size < 0 && damage)
                    *damage = "the text of key '" + shown_key(key) + "' at offset " +
                              std::to_string(record_at) + " has a size below zero (" +
                              std::to_string(size) + ")";
                std::string text = cur.read_upto(2 * int64_t(size));
                text_cut = int64_t(text.size()) < 2 * int64_t(size);
                text.resize(cut_at_nul(text).size());
                spent += text.size();
                params.emplace_back(std::move(key), ParamText{std::move(text)});
                break;
            }
            default:
                throw Error(ErrorKind::UnknownParamType,
                            "unknown parameter type " + std::to_string(type) + " for key '" +
                                shown_key(key) + "' at offset " + std::to_string(record_at),
                            record_at, type);
            }
        }
    } catch (const Error& e) {
        if (!cut || !ends_records(e.kind())) throw;
        // Past the end nothing but a short read can follow a text cut short.
        if (text_cut && e.kind() == ErrorKind::ShortRead) params.pop_back();
        if (damage && damage->empty() && e.kind() != ErrorKind::ShortRead) *damage = e.what();
        *cut = e;
        return params;
    }
}

bool ends_records(ErrorKind kind) {
    return kind == ErrorKind::ShortRead || kind == ErrorKind::UnknownParamType ||
           kind == ErrorKind::KeyNotUtf8 || kind == ErrorKind::NegativeReadLength;
}

ParamRecordCache::ParamRecordCache(std::vector<int64_t> block_starts)
    : block_starts_(std::move(block_starts)) {
    std::sort(block_starts_.begin(), block_starts_.end());
}

std::string ParamRecordCache::damage(int64_t at) const {
    auto found = read_.find(at);
    return found == read_.end() ? std::string() : found->second.damage;
}

const ParamRecordCache::Read& ParamRecordCache::read_at(Cursor& cur, int64_t offset) {
    auto found = read_.find(offset);
    if (found != read_.end()) return found->second;
    size_t before = spent_;
    std::optional<Error> cut;
    std::string damage;
    ParamRecords records = read_param_records(cur, offset, spent_, &cut, &damage);
    if (cut && damage.empty()) {
        // Only the last block can be cut short: one followed by another ran
        // on through it, from a type or size misread.
        auto next = std::upper_bound(block_starts_.begin(), block_starts_.end(), offset);
        if (next != block_starts_.end() && *next < cur.source_size())
            damage = "its records run on past the start of the block at byte " +
                     std::to_string(*next) + " to the end of the file";
    }
    // Records before a damaged byte may have been read from the wrong place:
    // none is kept, rather than values that the file does not hold.
    if (!damage.empty()) records.clear();
    return read_
        .emplace(offset,
                 Read{std::move(records), spent_ - before, std::move(cut), std::move(damage)})
        .first->second;
}

bool ParamRecordCache::has_merged(const std::vector<int64_t>& offsets) const {
    return merged_.contains(offsets);
}

std::shared_ptr<const ParamBlock> ParamRecordCache::merge(Cursor& cur,
                                                          const std::vector<int64_t>& offsets,
                                                          CutParameters cut, int64_t* cut_at) {
    auto found = merged_.find(offsets);
    if (found != merged_.end()) {
        int64_t at = found->second.cut_at;
        if (at != -1 && cut == CutParameters::Refuse) throw *read_.at(at).cut;
        if (cut_at) *cut_at = at;
        return found->second.params;
    }
    size_t bytes = 0; // the merge holds at most what its blocks were reckoned
    int64_t first_cut = -1;
    for (int64_t at : offsets) {
        const Read& read = read_at(cur, at);
        // Refused where reading meets it: before a later block's own fault.
        if (read.cut && first_cut == -1) {
            if (cut == CutParameters::Refuse) throw *read.cut;
            first_cut = at;
        }
        bytes += read.bytes;
    }
    spend_merge(bytes, cur.source_size(), offsets.front());
    auto params = std::make_shared<ParamBlock>();
    for (int64_t at : offsets) params->update(read_.at(at).records);
    merged_.emplace(offsets, Merge{params, first_cut});
    if (cut_at) *cut_at = first_cut;
    return params;
}

void ParamRecordCache::spend_copy(const ParamBlock& params, int64_t file_size, int64_t at) {
    size_t bytes = 0;
    for (const auto& [key, value] : params.entries()) {
        bytes += kRecordBytes;
        if (auto* text = std::get_if<ParamText>(&value)) bytes += text->bytes.size();
    }
    spend_merge(bytes, file_size, at);
}

void ParamRecordCache::spend_merge(size_t bytes, int64_t file_size, int64_t at) {
    const auto most = static_cast<size_t>(output_limit(file_size));
    if (bytes > most - std::min(merges_spent_, most))
        refuse_records("the parameters of the listed blocks", most, file_size, at);
    merges_spent_ += bytes;
}

int64_t param_as_int(const ParamValue& v, const std::string& key) {
    if (auto* i = std::get_if<int32_t>(&v)) return *i;
    if (std::holds_alternative<double>(v))
        throw Error(ErrorKind::WrongType, "parameter '" + key + "' is a float, not an integer");
    throw Error(ErrorKind::WrongType, "parameter '" + key + "' is text, not an integer");
}

double param_as_double(const ParamValue& v) {
    if (auto* i = std::get_if<int32_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return *d;
    throw Error(ErrorKind::WrongType, "parameter is text, not a number");
}

interp::Value as_value(const ParamValue& v) {
    if (auto* i = std::get_if<int32_t>(&v)) return interp::Value::integer(*i);
    if (auto* d = std::get_if<double>(&v)) return interp::Value::real(*d);
    return interp::Value::text();
}

} // namespace vesk
