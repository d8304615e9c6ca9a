// C++-only part of the TFTP client shared with its fuzz target: the judgement of one
// received packet, apart from the socket that brought it.
#pragma once

#include "../tftp.h"

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

enum class TftpVerdict : uint8_t {
    IGNORE,    // not part of the transfer (another host, or before any DATA on TCP): dropped
    STRANGER,  // the server's host, another port once the transfer port is fixed: told off
    FAILED,    // the server reported an error: the transfer ends without an answer
    REFUSED,   // a packet the transfer cannot take: it ends and the server is told
    DUPLICATE, // an old block: acknowledged again, not delivered
    DELIVER,   // the next block: acknowledged and delivered
};

// Judges the packet of size bytes in tftp->m_buffer, sent from `from` (ignored for TCP).
// Updates the transfer (state, block, data size, transfer port) and sets *ack_block to the
// block number to acknowledge for DUPLICATE and DELIVER.
TftpVerdict tftp_judge_packet(tarvik_tftp_t *tftp, size_t size, const struct sockaddr *from,
                              socklen_t from_length, uint16_t *ack_block);

} // namespace tarvik::detail
