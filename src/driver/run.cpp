#include "driver/run.h"

namespace chunksieve {

RunStatus run_filter(DedupFilter& f, StreamIo& io) {
    StreamChannel& ch = f.channel;
    ch.input_cursor = ch.input_start = ch.input_end = f.input_buffer();
    ch.output_cursor = ch.output_start = f.output_buffer;
    ch.output_end = f.output_buffer + STREAM_BLOCK;
    ch.end_of_input = 0;

    start(ch, f.stack, sizeof f.stack, filter_body, &f);
    for (;;) {
        switch (ch.request) {
            case REQ_INPUT: {
                const std::ptrdiff_t got = io.read(f.input_buffer(), STREAM_BLOCK);
                if (got < 0) return RunStatus::read_failed;
                if (got == 0) ch.end_of_input = 1;
                ch.input_start = ch.input_cursor = f.input_buffer();
                ch.input_end = f.input_buffer() + got;
                break;
            }
            case REQ_NO_MEMORY:
                return RunStatus::no_memory;
            default:
                // REQ_OUTPUT: a full buffer. REQ_DONE, or REQ_NONE from a body that returned: the
                // rest, and the run is over.
                if (!io.write_all(ch.output_start, std::size_t(ch.output_cursor - ch.output_start)))
                    return RunStatus::write_failed;
                ch.output_cursor = ch.output_start = f.output_buffer;
                ch.output_end = f.output_buffer + STREAM_BLOCK;
                if (ch.request != REQ_OUTPUT) return RunStatus::complete;
                break;
        }
        resume(ch);
    }
}

}  // namespace chunksieve
