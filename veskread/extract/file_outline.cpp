#include "veskread/extract/file_outline.h"

#include <map>
#include <new>
#include <string>

#include "veskread/container/directory.h"

namespace vesk {

FileOutline outline_file(const ByteSource& src) {
    FileOutline out;
    try {
        if (!has_vesk_magic(src)) {
            out.is_vesk = false;
            return out;
        }
        std::vector<DirEntry> directory = read_directory(src);
        // A key listed again outlines the same: each outline scans the whole
        // directory, so a directory of repeated entries must not cost its
        // square. Valid keys are few, so the work stays linear in the file.
        std::map<std::string, size_t> first_of;
        for (auto& key : list_contents(directory)) {
            std::string id = key.type + '/' + key.dimensions + '/' + key.derivative;
            auto [seen, fresh] = first_of.try_emplace(id, out.blocks.size());
            if (!fresh) {
                out.blocks.push_back(out.blocks[seen->second]);
                continue;
            }
            ListedBlock item{key, std::nullopt, std::nullopt, {}};
            try {
                item.outline =
                    outline_block(src, directory, key, nullptr, &item.problem_parameters);
            } catch (const Error& e) {
                if (e.kind() == ErrorKind::Io) throw;
                item.problem = e;
            } catch (const std::bad_alloc&) {
                item.problem = Error(ErrorKind::BadCount, "block too large to describe");
            }
            if (!item.problem) item.problem_parameters = {};
            out.blocks.push_back(std::move(item));
        }
    } catch (const Error& e) {
        out.failure = e;
    } catch (const std::bad_alloc&) {
        out.out_of_memory = true;
    }
    return out;
}

} // namespace vesk
