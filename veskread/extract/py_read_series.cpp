// Time-resolved series of spectra (with their times) and of traces.
//
// A first pass in the core checks every block (so errors come before any
// allocation); the arrays are then allocated by numpy and filled by the core
// with the interpreter lock released.
#include "veskread/container/output_budget.h"
#include "veskread/extract/py_read_3d.h"
#include "veskread/extract/series.h"

namespace vesk::py {

namespace {

PyObject* spectrum_series(Read3D& r) {
    if (!run_core([&] { check_spectrum_series(*r.reader, r.blocks, r.npt); }, true)) return nullptr;
    int64_t n = static_cast<int64_t>(r.blocks.blocks.size());
    if (n == 0) {
        raise_stack_error(Name::vstack, {}, 0);
        return nullptr;
    }
    if (!spend_on_blocks(r, saturating_mul(n, saturating_mul(r.npt, 4)) + n * 8)) return nullptr;
    Ref spectra = Ref::steal(np_array(Name::empty, {n, r.npt}, DType::Float32));
    if (!spectra) return nullptr;
    Ref z = Ref::steal(np_array(Name::empty, {n}, DType::Float64));
    if (!z) return nullptr;
    BufferGuard sbuf, zbuf;
    if (!writable_view(sbuf, spectra.get(), n * r.npt * 4) || !writable_view(zbuf, z.get(), n * 8))
        return nullptr;
    auto* s = static_cast<float*>(sbuf.view().buf);
    auto* t = static_cast<double*>(zbuf.view().buf);
    if (!run_core([&] { read_spectrum_series(*r.reader, r.blocks, r.npt, r.stride(), s, t); },
                  true))
        return nullptr;
    sbuf.release();
    zbuf.release();
    Ref extra = Ref::steal(kwargs_of({{Name::z, z.get()}, {Name::spectra, spectra.get()}}));
    if (!extra) return nullptr;
    return make_data_object(Name::TimeResolvedDataReturn, r.req, extra.get());
}

PyObject* trace_series(Read3D& r) {
    bool one_pass = false;
    if (!run_core([&] {
            one_pass =
                traces_in_one_pass(*r.reader, r.blocks, r.npt, r.table.info_size, r.stride());
        }))
        return nullptr;
    Ref labels, traces;
    if (one_pass) {
        int64_t n = static_cast<int64_t>(r.blocks.blocks.size());
        if (!read_traces_at_once(r, {n, r.npt}, false, traces, labels)) return nullptr;
    } else {
        TraceScan scan;
        labels = Ref::steal(scan_stackable_traces(r, scan));
        if (!labels) return nullptr;
        int64_t n = static_cast<int64_t>(scan.counts.size());
        int64_t width = scan.counts[0];
        if (!spend_on_blocks(r, saturating_mul(saturating_mul(n, width), 4))) return nullptr;
        traces = Ref::steal(np_array(Name::empty, {n, width}, DType::Float32));
        if (!traces) return nullptr;
        BufferGuard buf;
        if (!writable_view(buf, traces.get(), n * width * 4)) return nullptr;
        auto* dst = static_cast<float*>(buf.view().buf);
        if (!run_core([&] { read_trace_rows(*r.reader, r.blocks, width, dst); }, true))
            return nullptr;
    }
    Ref extra = Ref::steal(kwargs_of({{Name::labels, labels.get()}, {Name::traces, traces.get()}}));
    if (!extra) return nullptr;
    return make_data_object(Name::TimeResolvedTRCDataReturn, r.req, extra.get());
}

} // namespace

PyObject* read_time_resolved(Read3D& r) { return r.traces ? trace_series(r) : spectrum_series(r); }

} // namespace vesk::py
