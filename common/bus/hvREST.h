// The REST layer of the bus: a table of named endpoints, each with a handler,
// a dispatcher and a usage text, and the dispatch of a request's method text
// to its endpoint.
#ifndef ORV_COMMON_BUS_HVREST_H_
#define ORV_COMMON_BUS_HVREST_H_

#include <jansson.h>

#include "common/bus/hvservice.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hv_rest hv_rest_t;

// An endpoint's handler: (endpoint context, io, parameter object, reply
// descriptor).
typedef void (*hv_handler_fn)(void* ctx, hv_io_t* io, json_t* params, int fd);

// An endpoint's dispatcher: receives the endpoint context, the handler, the
// request's io, the REST layer's parameter object (the query string's members;
// a new reference) and the reply descriptor, and from then on owns io, object
// and descriptor: it releases them (hv_io_free, json_decref, close) after the
// handler ran.
typedef void (*hv_dispatcher_fn)(void* ctx, hv_handler_fn handler, hv_io_t* io,
                                 json_t* params, int fd);

// Returns a new empty table, or NULL when out of memory.
hv_rest_t* hv_rest_create(void);

// Registers endpoint `method`. The texts are copied. Returns 0, or -1 when the
// name is empty or already registered.
int hv_rest_endpoint(hv_rest_t* rest, hv_handler_fn handler, const char* method,
                     hv_dispatcher_fn dispatcher, const char* usage);

// Dispatches one request. The method text may start with a request-method
// word ("GET ", "POST ", ...), which is skipped; the endpoint name is what
// follows the last "/" up to an optional "?"; a query string after "?"
// ("name=value" pairs separated by "&", with "+" and "%XX" decoded) becomes
// the parameter object: every value is a string, a name given more than once
// holds the array of its values. "help" (when no endpoint has that name)
// answers, in the answer body and never on the descriptor, an object mapping
// every endpoint name to its usage text. An unknown endpoint is refused with
// HV_NO_METHOD. An endpoint without a dispatcher has its handler called here,
// after which io, object and descriptor are released. In every case this call
// takes over io and fd. Returns 0 when an endpoint was called or help
// answered, -1 when the request was refused.
int hv_rest_dispatch(hv_rest_t* rest, const char* method, hv_io_t* io, int fd);

// Frees the table.
void hv_rest_destroy(hv_rest_t* rest);

// The context handed to dispatchers and handlers is the endpoint; these read
// its name and usage text.
const char* hv_rest_endpoint_name(const void* ctx);
const char* hv_rest_endpoint_usage(const void* ctx);

#ifdef __cplusplus
}
#endif

#endif  // ORV_COMMON_BUS_HVREST_H_
