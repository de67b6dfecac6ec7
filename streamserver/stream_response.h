// Writing answers of the stream server: status, header block, body (plain or chunked),
// error pages, basic authentication, and the HTTP date forms. Every write goes straight to
// the request's socket; a failed write marks the request so the connection ends.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "streamserver/stream_request.h"

// The reason text of a status code; "No Reason" for codes without one.
const char* StreamStatus_Reason(int code);

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string StreamDate_Format(time_t when);
// Reads the three date forms of If-Modified-Since: RFC 1123, RFC 850 (two-digit years are
// 19xx) and asctime. False for anything else or a date out of range.
bool StreamDate_Parse(std::string_view text, time_t* when);

// True when the request carries If-Modified-Since with a date no older than `modified`:
// the client's copy is current and the answer is 304.
bool StreamRequest_NotModifiedSince(const StreamRequest& request, time_t modified);

void StreamResponse_SetStatus(StreamRequest* request, int code);
// Adds a response header. 0 (nothing added) when the name is not a token or the value
// holds a control character, which could split the header block; else 1.
int StreamResponse_AddField(StreamRequest* request, std::string_view name, std::string_view value);
void StreamResponse_SetContentType(StreamRequest* request, std::string_view type);
void StreamResponse_SetContentLength(StreamRequest* request, uint64_t length);
// Asks for chunked output; in force only when the answer keeps the connection and the
// request is HTTP/1.1.
void StreamResponse_SetChunked(StreamRequest* request);

// Writes the status line and the header block. The connection is kept only when the
// status is below 400, the client asked for it, the server allows it and the body's end
// can be told (a Content-length, chunked output, or an answer without a body); otherwise
// the answer says "close". HTTP/0.9 answers carry no header block. False when the write
// failed.
bool StreamResponse_WriteHeader(StreamRequest* request);

// Body bytes: chunk-framed in chunked mode, else as they are. False when the write failed.
bool StreamResponse_Write(StreamRequest* request, std::string_view data);

// Finishes the body: the last chunk in chunked mode.
bool StreamResponse_End(StreamRequest* request);

// The error page for the request's status (header block included; no body for HEAD).
bool StreamResponse_WriteError(StreamRequest* request);
// SetStatus and WriteError in one.
bool StreamResponse_SendError(StreamRequest* request, int code);

// A small HTML page "<HTML><BODY>" text "</BODY></HTML>" with status 200.
bool StreamResponse_SendPage(StreamRequest* request, std::string_view text);

// Basic authentication: true when the Authorization header carries `user`:`password`;
// otherwise the answer is prepared with status 401 and a WWW-Authenticate challenge.
bool StreamRequest_Authenticate(StreamRequest* request, std::string_view realm,
                                std::string_view user, std::string_view password);

// A path for a Location header or a link: URL-escaped, with "?" escaped too so that a
// file name holding one does not start a query.
std::string StreamResponse_EscapePath(std::string_view path);

// Sends bytes on the request's socket, whole, without framing. False on failure.
bool StreamResponse_SendRaw(StreamRequest* request, std::string_view data);
