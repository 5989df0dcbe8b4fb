// The WikiConverter class: owns the template roles of one metadata database
// and converts wikitext with the interpreter lock released. The instance is
// read-only after construction, so any number of threads may convert with
// it at once; batch calls spread their pages over the shared worker pool and
// write each result into the slot of its own index.
#include <algorithm>
#include <atomic>
#include <exception>
#include <new>

#include "binding.hpp"
#include "corpuswright/convert.hpp"
#include "corpuswright/pool.hpp"
#include "corpuswright/roles.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/write_md.hpp"

namespace corpuswright::python {
namespace {

struct ConverterObject {
    PyObject_HEAD
    roles::TemplateRoles* roles;  // owned; never changed after construction
};

const Signature kNewSig{"WikiConverter.__new__()", {"metadata"}, 1};
const Signature kQuillmdSig{"WikiConverter.quillmd()", {"source"}, 1};
const Signature kBatchSig{"WikiConverter.quillmd_batch()", {"sources"}, 1};
const Signature kChunkSig{"WikiConverter.corpuswright_batch()", {"pages", "target_words"}, 1};

constexpr std::uint64_t kDefaultTargetWords = 700;
// Room set aside for a sequence's entries before any is read: its length is
// only what the object claims (range(10**12), a `__len__` that lies), so
// beyond this the list grows as entries are really read.
constexpr std::size_t kReserveAtMost = 1 << 16;

// What one page's work produced, built without the lock.
struct PageResult {
    bool converted = false;
    std::string markdown;
    std::vector<std::string> warnings;
    std::vector<std::pair<std::string, std::string>> chunks;  // (text, start kind)
    std::optional<Panic> panic;
    bool out_of_memory = false;
};

// Runs `work` and turns anything thrown into a recorded failure: nothing may
// unwind out of a worker thread or into the interpreter.
template <class F>
void guarded(PageResult& slot, F&& work) {
    try {
        work();
    } catch (const std::bad_alloc&) {
        slot = PageResult{};
        slot.out_of_memory = true;
    } catch (const std::exception& e) {
        slot = PageResult{};
        slot.panic = Panic{e.what()};
    } catch (...) {
        slot = PageResult{};
        slot.panic = Panic{"unknown failure"};
    }
}

void convert_one(const roles::TemplateRoles& roles, std::string_view text, PageResult& slot) {
    guarded(slot, [&] {
        auto converted = convert_document(text, roles);
        if (!converted) return;
        slot.converted = true;
        slot.markdown = tavrel::write_md::render_md(converted->document);
        slot.warnings = std::move(converted->warnings);
    });
}

void convert_and_chunk(const roles::TemplateRoles& roles, std::string_view title, std::string_view text,
                       std::uint64_t target_words, PageResult& slot) {
    guarded(slot, [&] {
        auto converted = convert_document(text, roles);
        if (!converted) return;
        auto written = tavrel::write_md::render_md_blocks(converted->document);
        auto ranges = tavrel::chunk::document_chunk_ranges_structural(converted->document, written, target_words);
        std::string markdown = std::move(written.md);
        if (!ranges.ok()) {
            slot.panic = Panic{ranges.error().message};
            return;
        }
        std::string heading = title_prefix(title);
        std::vector<std::pair<std::string, std::string>> chunks;
        chunks.reserve(ranges.value().size());
        for (std::size_t i = 0; i < ranges.value().size(); ++i) {
            const auto& r = ranges.value()[i];
            bool boundary_ok = r.start <= r.end && r.end <= markdown.size() &&
                               (r.start == markdown.size() || (static_cast<unsigned char>(markdown[r.start]) & 0xC0) != 0x80) &&
                               (r.end == markdown.size() || (static_cast<unsigned char>(markdown[r.end]) & 0xC0) != 0x80);
            if (!boundary_ok) {
                slot.panic = Panic{"chunk range outside the page's Markdown or off a character boundary"};
                return;
            }
            std::string chunk_text;
            chunk_text.reserve(heading.size() + r.prefix.size() + (r.end - r.start));
            chunk_text += heading;
            chunk_text += r.prefix;
            chunk_text.append(markdown, r.start, r.end - r.start);
            std::string kind;
            if (i == 0) {
                kind = "h1";
            } else if (r.start_kind.body) {
                kind = "body";
            } else {
                kind = "h" + std::to_string(r.start_kind.level);
            }
            chunks.emplace_back(std::move(chunk_text), std::move(kind));
        }
        slot.converted = true;
        slot.markdown = std::move(markdown);
        slot.warnings = std::move(converted->warnings);
        slot.chunks = std::move(chunks);
    });
}

// Raises the first failure among the slots, if any (after all workers are
// done, with the lock held). Returns true when one was raised.
bool raise_failure(const std::vector<PageResult>& slots) {
    for (const auto& slot : slots) {
        if (slot.out_of_memory) {
            PyErr_NoMemory();
            return true;
        }
        if (slot.panic) {
            raise_panic(slot.panic->message);
            return true;
        }
    }
    return false;
}

// (Markdown or None, warnings)
PyObject* pair_result(const PageResult& r) {
    Ref md(r.converted ? str_from(r.markdown) : Py_NewRef(Py_None));
    Ref warnings(str_list(r.warnings));
    if (!md || !warnings) return nullptr;
    return PyTuple_Pack(2, md.get(), warnings.get());
}

// (Markdown or None, warnings, [(chunk text, start kind), ...])
PyObject* triple_result(const PageResult& r) {
    Ref md(r.converted ? str_from(r.markdown) : Py_NewRef(Py_None));
    Ref warnings(str_list(r.warnings));
    Ref chunks(PyList_New(static_cast<Py_ssize_t>(r.chunks.size())));
    if (!md || !warnings || !chunks) return nullptr;
    for (std::size_t i = 0; i < r.chunks.size(); ++i) {
        Ref text(str_from(r.chunks[i].first));
        Ref kind(str_from(r.chunks[i].second));
        if (!text || !kind) return nullptr;
        PyObject* pair = PyTuple_Pack(2, text.get(), kind.get());
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(chunks.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return PyTuple_Pack(3, md.get(), warnings.get(), chunks.get());
}

// A page's texts borrowed from their string objects; the references keep the
// UTF-8 forms alive while the lock is released.
struct Entry {
    Ref title_obj;
    Ref text_obj;
    std::string_view title;
    std::string_view text;
};

// Reads a sequence argument into entries (`pages` when `pairs`, `sources`
// otherwise). Raises with the note naming `param` on any failure.
bool take_sequence(PyObject* seq, const char* param, bool pairs, std::vector<Entry>& out) {
    if (PyUnicode_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        add_processing_note(param);
        return false;
    }
    if (!PySequence_Check(seq)) {
        raise_cast_error(seq, "Sequence", param);
        return false;
    }
    Py_ssize_t size = PyObject_Size(seq);
    if (size < 0) {
        PyErr_Clear();  // only a sizing hint
    } else {
        out.reserve(std::min(static_cast<std::size_t>(size), kReserveAtMost));
    }
    Ref iter(PyObject_GetIter(seq));
    if (!iter) {
        add_processing_note(param);
        return false;
    }
    while (true) {
        Ref item(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                add_processing_note(param);
                return false;
            }
            return true;
        }
        Entry entry;
        if (!pairs) {
            auto text = utf8_arg(item.get(), param);
            if (!text) return false;
            entry.text = *text;
            entry.text_obj = std::move(item);
        } else {
            if (!PyTuple_Check(item.get())) {
                raise_cast_error(item.get(), "tuple", param);
                return false;
            }
            Py_ssize_t n = PyTuple_GET_SIZE(item.get());
            if (n != 2) {
                PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
                add_processing_note(param);
                return false;
            }
            PyObject* title = PyTuple_GET_ITEM(item.get(), 0);
            PyObject* text = PyTuple_GET_ITEM(item.get(), 1);
            auto title_utf8 = utf8_arg(title, param);
            if (!title_utf8) return false;
            auto text_utf8 = utf8_arg(text, param);
            if (!text_utf8) return false;
            entry.title = *title_utf8;
            entry.text = *text_utf8;
            entry.title_obj = Ref::borrow(title);
            entry.text_obj = Ref::borrow(text);
        }
        out.push_back(std::move(entry));
    }
}

// Converts every entry on the shared pool with the lock released. A batch
// of more than one entry may be long: it runs interruptibly, and a signal
// whose handler raises skips the entries not yet started. Returns false
// then, with the handler's exception set.
template <class F>
bool run_batch(std::size_t n, F&& work) {
    if (n <= 1) {
        Released released;
        pool::for_each_index(n, work);
        return true;
    }
    std::atomic<bool> stop{false};
    return run_interruptible(stop, [&] {
        pool::for_each_index(n, [&](std::size_t i) {
            if (!stop.load(std::memory_order_relaxed)) work(i);
        });
    });
}

PyObject* converter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::vector<PyObject*> values;
    if (!parse_tuple_dict(kNewSig, args, kwargs, values)) return nullptr;
    auto path = path_arg(values[0], "metadata");
    if (!path) return nullptr;
    // The load holds the interpreter lock: it runs once per converter.
    auto roles = roles::TemplateRoles::open(*path);
    if (!roles.ok()) return raise_error(roles.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<ConverterObject*>(self);
    obj->roles = new (std::nothrow) roles::TemplateRoles(std::move(roles).value());
    if (obj->roles == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void converter_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<ConverterObject*>(self);
    delete obj->roles;
    obj->roles = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* quillmd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> values;
    if (!parse_fastcall(kQuillmdSig, args, nargs, kwnames, values)) return nullptr;
    auto text = utf8_arg(values[0], "source");
    if (!text) return nullptr;
    const roles::TemplateRoles& roles = *reinterpret_cast<ConverterObject*>(self)->roles;
    std::vector<PageResult> slots(1);
    {
        Released released;
        convert_one(roles, *text, slots[0]);
    }
    if (raise_failure(slots)) return nullptr;
    return pair_result(slots[0]);
}

PyObject* quillmd_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> values;
    if (!parse_fastcall(kBatchSig, args, nargs, kwnames, values)) return nullptr;
    std::vector<Entry> entries;
    if (!take_sequence(values[0], "sources", false, entries)) return nullptr;
    const roles::TemplateRoles& roles = *reinterpret_cast<ConverterObject*>(self)->roles;
    std::vector<PageResult> slots(entries.size());
    bool finished = run_batch(entries.size(), [&](std::size_t i) { convert_one(roles, entries[i].text, slots[i]); });
    entries.clear();
    if (!finished) return nullptr;
    if (raise_failure(slots)) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(slots.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        PyObject* item = pair_result(slots[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* corpuswright_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> values;
    if (!parse_fastcall(kChunkSig, args, nargs, kwnames, values)) return nullptr;
    std::vector<Entry> entries;
    if (!take_sequence(values[0], "pages", true, entries)) return nullptr;
    auto target_words = positive_u64_arg(values[1], "target_words", kDefaultTargetWords);
    if (!target_words) return nullptr;
    const roles::TemplateRoles& roles = *reinterpret_cast<ConverterObject*>(self)->roles;
    std::vector<PageResult> slots(entries.size());
    std::uint64_t words = *target_words;
    bool finished = run_batch(entries.size(), [&](std::size_t i) {
        convert_and_chunk(roles, entries[i].title, entries[i].text, words, slots[i]);
    });
    entries.clear();
    if (!finished) return nullptr;
    if (raise_failure(slots)) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(slots.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        PyObject* item = triple_result(slots[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded_entry<PyObject*>(nullptr, [&] { return converter_new(type, args, kwargs); });
}

#define CW_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<f>))

PyMethodDef methods[] = {
    {"quillmd", CW_METHOD(quillmd), METH_FASTCALL | METH_KEYWORDS, "quillmd($self, source)\n--\n\n"},
    {"quillmd_batch", CW_METHOD(quillmd_batch), METH_FASTCALL | METH_KEYWORDS, "quillmd_batch($self, sources)\n--\n\n"},
    {"corpuswright_batch", CW_METHOD(corpuswright_batch), METH_FASTCALL | METH_KEYWORDS,
     "corpuswright_batch($self, pages, target_words=700)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(converter_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("WikiConverter(metadata)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "corpuswright.WikiConverter",
    sizeof(ConverterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* wiki_converter_type() {
    // Created once per process, on the first import; later imports reuse it.
    static PyObject* type = PyType_FromSpec(&spec);
    return type;
}

}  // namespace corpuswright::python
