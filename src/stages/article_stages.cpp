// The article stage and the combined dataset stage. Both read the dump page
// by page on the stage's thread, keep the article pages, convert them 256 at
// a time on the shared pool, and write the results in page order with
// consecutive article numbers. Reading, converting and writing overlap
// (see batches.hpp); numbering, limits, progress lines and outputs are as if
// each batch were read, converted and written in turn. The records are
// built on the pool too, all but their leading article number: the writing
// thread is the pipeline's serial tail, so it only numbers and copies.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>

#include "batches.hpp"
#include "corpuswright/call_paths.hpp"
#include "corpuswright/convert.hpp"
#include "corpuswright/stages/atomic.hpp"
#include "corpuswright/stages/disambiguation.hpp"
#include "corpuswright/stages/pages.hpp"
#include "corpuswright/stages/paths.hpp"
#include "corpuswright/stages/records.hpp"
#include "corpuswright/stages/stages.hpp"
#include "stage_common.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/write_md.hpp"

namespace corpuswright::stages {
namespace {

constexpr std::size_t kBatchPages = 256;
using Clock = std::chrono::steady_clock;

// What one page's work produced: its records without their leading
// `{"article_id":N` (the number is known only when written; see
// append_record_start).
struct Converted {
    std::string article_record;
    std::vector<AuditPair> pairs;
    std::vector<std::string> chunk_records;  // the combined stage only
};

// A failure met by a page is the run's only if the limit is not reached
// before that page: what lies past the limit is read ahead at most, and
// must not decide the outcome (nor may how far ahead reading got).
struct PageBatch {
    std::vector<Page> pages;
    bool full = false;  // a batch of 256 kept pages (not the final one)
    std::vector<std::optional<Converted>> results;
    std::optional<Error> failure;         // before any page of the batch was read
    std::optional<Error> page_failure;    // the first page whose conversion failed,
    std::size_t failed_at = SIZE_MAX;     // at this index
    std::optional<Error> read_failure;    // reading the page after the batch's last
};

// Formats a rate as "{:.0}": no decimals, "inf" and "NaN" for non-finite.
std::string fixed(double v, int decimals) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

double seconds_since(Clock::time_point start) {
    auto now = Clock::now();
    if (now < start) return 0.0;
    return std::chrono::duration<double>(now - start).count();
}

// The loop shared by both stages: the page filters, batches, limit,
// progress and end lines. `work` converts one page; `write` writes one kept
// result with its article number.
struct ArticleRun {
    const roles::TemplateRoles* roles = nullptr;
    const IdSet* disambiguation = nullptr;
    std::uint64_t min_bytes = 0;
    std::optional<std::uint64_t> limit;
    std::uint64_t target_words = 0;
    bool with_chunks = false;
    const std::atomic<bool>* stop = nullptr;

    std::uint64_t written = 0;
    AuditCounts counts;

    std::optional<Converted> convert_page(Page& page, std::optional<Error>& failure) const {
        auto converted = convert_document(page.text, *roles);
        if (!converted) return std::nullopt;
        Converted out;
        out.pairs = audit(converted->document.blocks, *roles);
        Article article;
        if (!with_chunks) {
            article.md = tavrel::write_md::render_md(converted->document);
        } else {
            // The chunks are cut from the article's own text, written once.
            auto written = tavrel::write_md::render_md_blocks(converted->document);
            auto ranges = tavrel::chunk::document_chunk_ranges_structural(converted->document, written, target_words);
            if (!ranges.ok()) {
                failure.emplace(ranges.error().message, ErrorKind::Invariant);
                return std::nullopt;
            }
            article.md = std::move(written.md);
            auto chunks = chunks_from_ranges(ranges.value(), article.md, title_prefix(page.title));
            if (!chunks.ok()) {
                failure.emplace(std::move(chunks).error());
                return std::nullopt;
            }
            out.chunk_records.reserve(chunks.value().size());
            for (const Chunk& chunk : chunks.value()) {
                std::string record;
                append_chunk_after_id(record, chunk);
                out.chunk_records.push_back(std::move(record));
            }
        }
        article.page_id = page.id;
        article.revision_id = page.revision_id;
        article.title = std::move(page.title);
        article.timestamp = std::move(page.timestamp);
        article.warnings = std::move(converted->warnings);
        out.article_record.reserve(article.md.size() + article.md.size() / 16 + 256);
        append_article_after_id(out.article_record, article);
        page.text.clear();
        page.text.shrink_to_fit();
        return out;
    }

    void work(PageBatch& batch) const {
        batch.results.resize(batch.pages.size());
        std::vector<std::optional<Error>> failures(batch.pages.size());
        pool::for_each_index(batch.pages.size(), [&](std::size_t i) {
            if (stop_requested(stop)) return;  // the batch will not be written
            try {
                batch.results[i] = convert_page(batch.pages[i], failures[i]);
            } catch (const std::bad_alloc&) {
                failures[i].emplace("out of memory while converting a page", ErrorKind::OutOfMemory);
            } catch (const std::exception& e) {
                failures[i].emplace(e.what(), ErrorKind::Invariant);
            }
        });
        for (std::size_t i = 0; i < failures.size(); ++i) {
            if (failures[i]) {
                batch.page_failure = std::move(failures[i]);
                batch.failed_at = i;
                break;
            }
        }
        batch.pages.clear();
    }

    bool keep(const Page& page) const {
        if (page.ns != 0 || page.redirect) return false;
        if (!disambiguation->empty() && disambiguation->count(page.id)) return false;
        return page.text.size() >= min_bytes;
    }
};

struct Progress {
    Clock::time_point start = Clock::now();
    Clock::time_point last = start;

    void after_full_batch(std::uint64_t written) {
        auto now = Clock::now();
        if (now < last) return;
        if (std::chrono::duration_cast<std::chrono::seconds>(now - last).count() < 30) return;
        double rate = static_cast<double>(written) / seconds_since(start);
        std::fprintf(stderr, "Processed %" PRIu64 " articles (%s/s)\n", written, fixed(rate, 0).c_str());
        std::fflush(stderr);
        last = Clock::now();
    }

    void end(std::uint64_t written) {
        double secs = seconds_since(start);
        double rate = static_cast<double>(written) / seconds_since(start);
        std::fprintf(stderr, "Processed %" PRIu64 " articles in %ss (%s/s)\n", written, fixed(secs, 1).c_str(),
                     fixed(rate, 0).c_str());
        std::fflush(stderr);
    }
};

// Runs the page loop over `pages`, writing through `emit(Converted&, id)`.
template <class Emit>
Result<void> page_loop(ArticleRun& run, Pages& pages, Progress& progress, Emit&& emit) {
    bool input_done = false;
    auto produce = [&]() -> Result<std::optional<PageBatch>> {
        if (input_done) return std::optional<PageBatch>();
        PageBatch batch;
        batch.pages.reserve(kBatchPages);
        while (batch.pages.size() < kBatchPages) {
            if (stop_requested(run.stop)) return interrupted();
            auto next = pages.next();
            if (!next.ok()) {
                if (batch.pages.empty()) return std::move(next).error();
                // The pages read before it may still reach the limit.
                batch.read_failure.emplace(std::move(next).error());
                input_done = true;
                break;
            }
            if (!next.value()) {
                input_done = true;
                break;
            }
            if (run.keep(*next.value())) batch.pages.push_back(std::move(*next.value()));
        }
        batch.full = batch.pages.size() == kBatchPages;
        if (batch.pages.empty()) return std::optional<PageBatch>();
        return std::optional<PageBatch>(std::move(batch));
    };
    auto consume = [&](PageBatch& batch) -> Result<bool> {
        if (run.limit && run.written >= *run.limit) return false;
        std::uint64_t quota = run.limit ? *run.limit - run.written : UINT64_MAX;
        std::uint64_t kept = 0;
        for (std::size_t i = 0; i < batch.results.size() && kept < quota; ++i) {
            if (i == batch.failed_at) return std::move(*batch.page_failure);
            auto& result = batch.results[i];
            if (!result) continue;
            std::uint64_t id = run.written + kept;
            ++kept;
            for (auto& pair : result->pairs) ++run.counts[pair];
            CW_TRY(emit(*result, id));
        }
        run.written += kept;
        if (batch.full) progress.after_full_batch(run.written);
        if (run.limit && run.written == *run.limit) return false;
        if (batch.read_failure) return std::move(*batch.read_failure);
        return true;
    };
    return run_batches<PageBatch>(produce, [&](PageBatch& b) { run.work(b); }, consume, run.stop);
}

Result<IdSet> load_disambiguation(const std::string& metadata) { return disambiguation_ids(metadata); }

}  // namespace

Result<Summary> stage1(const Stage1Options& options) {
    CallDirectory call;
    CW_TRY(check_distinct({{"xml", options.xml, false},
                           {"articles", options.articles, true},
                           {"metadata", options.metadata, false}}));
    CW_TRY_ASSIGN(auto roles, roles::TemplateRoles::open(options.metadata));
    CW_TRY_ASSIGN(auto out, atomic(options.articles, "articles"));
    CW_TRY_ASSIGN(auto ids, load_disambiguation(options.metadata));
    Progress progress;
    CW_TRY_ASSIGN(auto pages, Pages::open(options.xml, "xml", options.stop));

    ArticleRun run;
    run.roles = &roles;
    run.disambiguation = &ids;
    run.min_bytes = options.min_bytes;
    run.limit = options.limit;
    run.stop = options.stop;

    std::string& buf = out.buffer();
    CW_TRY(page_loop(run, pages, progress, [&](Converted& c, std::uint64_t id) -> Result<void> {
        append_record_start(buf, id);
        buf += c.article_record;
        buf.push_back('\n');
        return out.maybe_flush();
    }));
    {
        Pages done = std::move(pages);  // stop the decoder before finishing
    }
    if (stop_requested(options.stop)) return interrupted();
    progress.end(run.written);
    CW_TRY(out.persist());
    return summary(run.written, 0, std::move(run.counts));
}

Result<Summary> dataset(const DatasetOptions& options) {
    if (options.target_words == 0) return Error("target_words must be positive", ErrorKind::Invalid);
    CallDirectory call;
    CW_TRY(check_distinct({{"xml", options.xml, false},
                           {"articles", options.articles, true},
                           {"chunks", options.chunks, true},
                           {"metadata", options.metadata, false}}));
    CW_TRY_ASSIGN(auto roles, roles::TemplateRoles::open(options.metadata));
    CW_TRY_ASSIGN(auto articles_out, atomic(options.articles, "articles"));
    CW_TRY_ASSIGN(auto chunks_out, atomic(options.chunks, "chunks"));
    CW_TRY_ASSIGN(auto ids, load_disambiguation(options.metadata));
    Progress progress;
    CW_TRY_ASSIGN(auto pages, Pages::open(options.xml, "xml", options.stop));

    ArticleRun run;
    run.roles = &roles;
    run.disambiguation = &ids;
    run.min_bytes = options.min_bytes;
    run.limit = options.limit;
    run.target_words = options.target_words;
    run.with_chunks = true;
    run.stop = options.stop;

    std::uint64_t chunks_written = 0;
    std::string& abuf = articles_out.buffer();
    std::string& cbuf = chunks_out.buffer();
    CW_TRY(page_loop(run, pages, progress, [&](Converted& c, std::uint64_t id) -> Result<void> {
        append_record_start(abuf, id);
        abuf += c.article_record;
        abuf.push_back('\n');
        CW_TRY(articles_out.maybe_flush());
        for (const auto& record : c.chunk_records) {
            append_record_start(cbuf, id);
            cbuf += record;
            cbuf.push_back('\n');
            ++chunks_written;
        }
        return chunks_out.maybe_flush();
    }));
    {
        Pages done = std::move(pages);
    }
    // The last point at which both targets are still untouched: once the
    // first rename is done, the second follows.
    if (stop_requested(options.stop)) return interrupted();
    progress.end(run.written);
    CW_TRY(articles_out.flush());
    CW_TRY(chunks_out.flush());
    // Both targets were checked at set-up; what could have become of the
    // second since is checked again while neither is replaced yet.
    CW_TRY(chunks_out.check_target());
    CW_TRY(articles_out.persist());
    CW_TRY(chunks_out.persist());
    return summary(run.written, chunks_written, std::move(run.counts));
}

}  // namespace corpuswright::stages
