// The four dataset functions: argument parsing and conversion here, the work
// in the dataset stages with the interpreter lock released for the whole run.
#include <exception>
#include <new>

#include "binding.hpp"
#include "corpuswright/pool.hpp"
#include "corpuswright/stages/disambiguation.hpp"
#include "corpuswright/stages/stages.hpp"

namespace corpuswright::python {
namespace {

const Signature kStage1Sig{"build_stage1()", {"xml", "articles", "metadata", "min_bytes", "limit"}, 3};
const Signature kStage2Sig{"build_stage2()", {"articles", "chunks", "target_words", "batch_size"}, 2};
const Signature kDatasetSig{
    "build_dataset()", {"xml", "articles", "chunks", "metadata", "min_bytes", "limit", "target_words"}, 4};
const Signature kPagePropsSig{"build_page_props()", {"source", "metadata"}, 2};

// (articles, chunks, [(kind, name, count), ...])
PyObject* summary_tuple(const stages::Summary& s) {
    Ref rows(PyList_New(static_cast<Py_ssize_t>(s.rows.size())));
    if (!rows) return nullptr;
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        const auto& r = s.rows[i];
        PyObject* row = Py_BuildValue("(NNK)", str_from(r.kind), str_from(r.name),
                                      static_cast<unsigned long long>(r.count));
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    return Py_BuildValue("(KKO)", static_cast<unsigned long long>(s.articles),
                         static_cast<unsigned long long>(s.chunks), rows.get());
}

// Runs a stage with the interpreter lock released and Ctrl-C honoured
// (run_interruptible). Returns nothing when a signal handler raised: the
// stage has stopped, removed its temporary files and left the targets as
// they were, and the handler's exception is set. Anything the stage threw
// becomes a failed result rather than unwinding into the interpreter.
template <class T, class F>
std::optional<Result<T>> run_stage(F&& body) {
    std::atomic<bool> stop{false};
    std::optional<Result<T>> out;
    bool finished = run_interruptible(stop, [&] {
        try {
            // The shared pool starts its threads before the run takes memory.
            pool::start();
            out.emplace(body(&stop));
        } catch (const std::bad_alloc&) {
            out.emplace(Error("out of memory", ErrorKind::OutOfMemory));
        } catch (const std::exception& e) {
            out.emplace(Error(e.what(), ErrorKind::Invariant));
        }
    });
    if (!finished) return std::nullopt;
    return out;
}

PyObject* build_stage1(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> v;
    if (!parse_fastcall(kStage1Sig, args, nargs, kwnames, v)) return nullptr;
    auto xml = path_arg(v[0], "xml");
    if (!xml) return nullptr;
    auto articles = path_arg(v[1], "articles");
    if (!articles) return nullptr;
    auto metadata = path_arg(v[2], "metadata");
    if (!metadata) return nullptr;
    auto min_bytes = u64_arg(v[3], "min_bytes", 250);
    if (!min_bytes) return nullptr;
    std::optional<std::uint64_t> limit;
    if (!optional_u64_arg(v[4], "limit", limit)) return nullptr;
    stages::Stage1Options options{*xml, *articles, *metadata, *min_bytes, limit};
    auto result = run_stage<stages::Summary>([&](const std::atomic<bool>* stop) {
        options.stop = stop;
        return stages::stage1(options);
    });
    if (!result) return nullptr;
    if (!result->ok()) return raise_error(result->error());
    return summary_tuple(result->value());
}

PyObject* build_stage2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> v;
    if (!parse_fastcall(kStage2Sig, args, nargs, kwnames, v)) return nullptr;
    auto articles = path_arg(v[0], "articles");
    if (!articles) return nullptr;
    auto chunks = path_arg(v[1], "chunks");
    if (!chunks) return nullptr;
    auto target_words = positive_u64_arg(v[2], "target_words", 700);
    if (!target_words) return nullptr;
    auto batch_size = u64_arg(v[3], "batch_size", 128);
    if (!batch_size) return nullptr;
    auto result = run_stage<std::uint64_t>([&](const std::atomic<bool>* stop) {
        return stages::stage2(*articles, *chunks, *target_words, *batch_size, stop);
    });
    if (!result) return nullptr;
    if (!result->ok()) return raise_error(result->error());
    return PyLong_FromUnsignedLongLong(result->value());
}

PyObject* build_dataset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> v;
    if (!parse_fastcall(kDatasetSig, args, nargs, kwnames, v)) return nullptr;
    auto xml = path_arg(v[0], "xml");
    if (!xml) return nullptr;
    auto articles = path_arg(v[1], "articles");
    if (!articles) return nullptr;
    auto chunks = path_arg(v[2], "chunks");
    if (!chunks) return nullptr;
    auto metadata = path_arg(v[3], "metadata");
    if (!metadata) return nullptr;
    auto min_bytes = u64_arg(v[4], "min_bytes", 250);
    if (!min_bytes) return nullptr;
    std::optional<std::uint64_t> limit;
    if (!optional_u64_arg(v[5], "limit", limit)) return nullptr;
    auto target_words = positive_u64_arg(v[6], "target_words", 700);
    if (!target_words) return nullptr;
    stages::DatasetOptions options{*xml, *articles, *chunks, *metadata, *min_bytes, limit, *target_words};
    auto result = run_stage<stages::Summary>([&](const std::atomic<bool>* stop) {
        options.stop = stop;
        return stages::dataset(options);
    });
    if (!result) return nullptr;
    if (!result->ok()) return raise_error(result->error());
    return summary_tuple(result->value());
}

PyObject* build_page_props(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> v;
    if (!parse_fastcall(kPagePropsSig, args, nargs, kwnames, v)) return nullptr;
    auto source = path_arg(v[0], "source");
    if (!source) return nullptr;
    auto metadata = path_arg(v[1], "metadata");
    if (!metadata) return nullptr;
    auto result = run_stage<std::uint64_t>(
        [&](const std::atomic<bool>* stop) { return stages::import_page_props(*source, *metadata, stop); });
    if (!result) return nullptr;
    if (!result->ok()) return raise_error(result->error());
    return PyLong_FromUnsignedLongLong(result->value());
}

#define CW_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<f>))

PyMethodDef functions[] = {
    {"build_stage1", CW_FASTCALL(build_stage1), METH_FASTCALL | METH_KEYWORDS,
     "build_stage1(xml, articles, metadata, min_bytes=250, limit=None)\n--\n\n"},
    {"build_stage2", CW_FASTCALL(build_stage2), METH_FASTCALL | METH_KEYWORDS,
     "build_stage2(articles, chunks, target_words=700, batch_size=128)\n--\n\n"},
    {"build_dataset", CW_FASTCALL(build_dataset), METH_FASTCALL | METH_KEYWORDS,
     "build_dataset(xml, articles, chunks, metadata, min_bytes=250, limit=None, target_words=700)\n--\n\n"},
    {"build_page_props", CW_FASTCALL(build_page_props), METH_FASTCALL | METH_KEYWORDS,
     "build_page_props(source, metadata)\n--\n\n"},
};

}  // namespace

int add_dataset_functions(PyObject* module, int (*add)(PyObject*, const char*, PyObject*)) {
    for (PyMethodDef& def : functions) {
        PyObject* fn = PyCFunction_NewEx(&def, module, nullptr);
        if (fn == nullptr) return -1;
        if (add(module, def.ml_name, fn) < 0) return -1;
    }
    return 0;
}

}  // namespace corpuswright::python
