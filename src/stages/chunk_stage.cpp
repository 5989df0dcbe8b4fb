// The chunk stage: every stored article's Markdown is read back, required to
// write back identically (the dataset's canonical-form guarantee), and cut
// into chunks. Batches of articles are converted on the shared pool while the
// stage thread reads the next lines and writes finished batches in order.
// The reading thread only cuts lines: parsing them is part of the pooled
// work, with a parse failure taking precedence over every other failure in
// its batch, as when lines were parsed as they were read.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>

#include "batches.hpp"
#include "corpuswright/call_paths.hpp"
#include "corpuswright/convert.hpp"
#include "corpuswright/stages/atomic.hpp"
#include "corpuswright/stages/input.hpp"
#include "corpuswright/stages/paths.hpp"
#include "corpuswright/stages/records.hpp"
#include "corpuswright/stages/stages.hpp"
#include "stage_common.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/frontmatter.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace corpuswright::stages {
namespace {

constexpr std::size_t kReadSize = 1 << 20;

// Reads a file line by line; the "\n" is not part of a line. A line that
// cannot begin an article (its first byte is neither "{" nor white space)
// is handed on as soon as that byte is read, as its first byte decides the
// JSON reader's error: a file without line ends (a device such as
// /dev/zero) is refused at once rather than gathered into memory.
class LineFile {
public:
    LineFile(int fd, const std::atomic<bool>* stop) : fd_(fd), stop_(stop) {}
    ~LineFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // The next line, nothing at the end of the file, or a read error.
    Result<std::optional<std::string>> next() {
        while (true) {
            std::size_t nl = buf_.find('\n', pos_);
            if (nl != std::string::npos) {
                std::string line = buf_.substr(pos_, nl - pos_);
                pos_ = nl + 1;
                return std::optional<std::string>(std::move(line));
            }
            if (eof_ || (pos_ < buf_.size() && !may_begin_object(buf_[pos_]))) {
                if (pos_ >= buf_.size()) return std::optional<std::string>();
                std::string line = buf_.substr(pos_);
                pos_ = buf_.size();
                eof_ = true;
                return std::optional<std::string>(std::move(line));
            }
            buf_.erase(0, pos_);
            pos_ = 0;
            std::size_t old = buf_.size();
            buf_.resize(old + kReadSize);
            auto got = read_some(fd_, buf_.data() + old, kReadSize, stop_);
            if (!got.ok()) {
                buf_.resize(old);
                return std::move(got).error();
            }
            buf_.resize(old + got.value());
            if (got.value() == 0) eof_ = true;
        }
    }

private:
    static bool may_begin_object(char c) { return c == '{' || c == ' ' || c == '\t' || c == '\r'; }

    int fd_;
    const std::atomic<bool>* stop_;
    std::string buf_;
    std::size_t pos_ = 0;
    bool eof_ = false;
};

struct ArticleBatch {
    std::vector<std::string> lines;  // read by the producer, parsed by the work
    std::uint64_t first_line = 1;    // the file's line number of lines[0]
    std::vector<std::vector<Chunk>> chunks;
    std::optional<Error> failure;
};

// A string as the usual debug form writes it: quoted, with \", \\, \n, \r,
// \t, \0 and \u{..} for other control characters.
std::string debug_quoted(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
    return out;
}

// A tree read back from an article's Markdown, and its text as written
// again with where each block begins (the chunker cuts that text).
struct ReadBack {
    tavrel::ast::Document doc;
    tavrel::write_md::WrittenBlocks written;
};

// Reads `md` back into a tree that writes back to exactly `md`. Front matter
// is taken only where it really is front matter: when reading it as such
// does not reproduce the text, the text is read whole (a page may well
// begin with a rule and a "Note: ..." line).
Result<ReadBack> canonical_tree(const std::string& md, const tavrel::Options& options) {
    std::string written;
    if (auto fm = tavrel::frontmatter::split(md)) {
        ReadBack r{tavrel::block::parse_source(fm->body, options), {}};
        r.doc.metadata = std::move(fm->pairs);
        r.written = tavrel::write_md::render_md_blocks(r.doc);
        if (r.written.md == md) return r;
        written = std::move(r.written.md);
    }
    ReadBack r{tavrel::block::parse_source(md, options), {}};
    r.written = tavrel::write_md::render_md_blocks(r.doc);
    if (r.written.md == md) return r;
    if (written.empty()) written = std::move(r.written.md);
    return Error("assertion `left == right` failed: Stage 1 md must be canonical\n  left: " + debug_quoted(written) +
                     "\n right: " + debug_quoted(md),
                 ErrorKind::Invariant);
}

Result<std::vector<Chunk>> chunk_article(const Article& a, std::uint64_t target_words, const tavrel::Options& options) {
    CW_TRY_ASSIGN(auto read, canonical_tree(a.md, options));
    std::string heading = title_prefix(a.title);
    auto ranges = tavrel::chunk::document_chunk_ranges_structural(read.doc, read.written, target_words);
    if (!ranges.ok()) return Error(ranges.error().message, ErrorKind::Invariant);
    CW_TRY_ASSIGN(auto chunks, chunks_from_ranges(ranges.value(), a.md, heading));
    for (auto& c : chunks) c.article_id = a.article_id;
    return chunks;
}

}  // namespace

Result<std::uint64_t> stage2(const std::string& articles, const std::string& chunks, std::uint64_t target_words,
                             std::uint64_t batch_size, const std::atomic<bool>* stop) {
    if (target_words == 0) return Error("target_words must be positive", ErrorKind::Invalid);
    CallDirectory call;
    CW_TRY(check_distinct({{"articles", articles, false}, {"chunks", chunks, true}}));
    // The output first, as in the other stages: a mistake in it is
    // reported before the input is opened.
    CW_TRY_ASSIGN(auto out, atomic(chunks, "chunks"));
    CW_TRY_ASSIGN(int fd, open_for_reading(articles).context(file_context("opening", "articles", articles)));
    LineFile lines(fd, stop);  // allocates nothing: owns the descriptor from here
    const std::string reading = file_context("reading", "articles", articles);
    const tavrel::Options options = tavrel::Options::dataset();

    // Batches are never sized up front: a huge batch_size only bounds how
    // many articles are gathered, and 0 gathers the whole file.
    bool done = false;
    std::uint64_t lines_read = 0;
    auto produce = [&]() -> Result<std::optional<ArticleBatch>> {
        if (done) return std::optional<ArticleBatch>();
        ArticleBatch batch;
        batch.first_line = lines_read + 1;
        while (batch_size == 0 || batch.lines.size() < batch_size) {
            if (stop_requested(stop)) return interrupted();
            auto line = lines.next();
            if (!line.ok()) return std::move(line).error().context(reading);
            if (!line.value()) {
                done = true;
                break;
            }
            batch.lines.push_back(std::move(*line.value()));
            ++lines_read;
        }
        if (batch.lines.empty()) return std::optional<ArticleBatch>();
        return std::optional<ArticleBatch>(std::move(batch));
    };
    auto work = [&](ArticleBatch& batch) {
        const std::size_t n = batch.lines.size();
        std::vector<std::optional<Error>> failures(n);
        std::vector<char> unreadable(n, 0);  // the failure is the line's parse error
        batch.chunks.resize(n);
        pool::for_each_index(n, [&](std::size_t i) {
            if (stop_requested(stop)) return;  // the batch will not be written
            try {
                auto article = read_article(batch.lines[i], batch.first_line + i);
                if (!article.ok()) {
                    failures[i].emplace(std::move(article).error().context(reading));
                    unreadable[i] = 1;
                    return;
                }
                std::string().swap(batch.lines[i]);
                auto r = chunk_article(article.value(), target_words, options);
                if (r.ok()) {
                    batch.chunks[i] = std::move(r).value();
                } else {
                    failures[i].emplace(std::move(r).error());
                }
            } catch (const std::bad_alloc&) {
                failures[i].emplace("out of memory while chunking an article", ErrorKind::OutOfMemory);
            } catch (const std::exception& e) {
                failures[i].emplace(e.what(), ErrorKind::Invariant);
            }
        });
        // A line that does not parse stopped the reading before anything of
        // its batch was chunked, so its error comes before any other.
        for (std::size_t i = 0; i < n; ++i) {
            if (unreadable[i]) {
                batch.failure = std::move(failures[i]);
                return;
            }
        }
        for (auto& f : failures) {
            if (f) {
                batch.failure = std::move(f);
                break;
            }
        }
    };
    std::uint64_t written = 0;
    std::string& buf = out.buffer();
    auto consume = [&](ArticleBatch& batch) -> Result<bool> {
        for (auto& list : batch.chunks) {
            for (auto& c : list) {
                append_chunk(buf, c);
                buf.push_back('\n');
                ++written;
                CW_TRY(out.maybe_flush());
            }
        }
        return true;
    };
    CW_TRY(run_batches<ArticleBatch>(produce, work, consume, stop));
    CW_TRY(out.persist());
    return written;
}

}  // namespace corpuswright::stages
