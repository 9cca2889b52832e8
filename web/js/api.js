// The calls of the page to the file service, through the gateway under
// /Orvane6/, and what their failures say to a person.

export class ApiError extends Error {
  // `code`: the service's error_code, or one of the kinds below; `message`:
  // a sentence for the person at the page; `text`: the service's own
  // message ("invalid size"), when there is one.
  constructor(code, message, text = '') {
    super(message);
    this.code = code;
    this.text = text;
  }
}
export const kNoAnswer = -1;    // nothing came back
export const kWebServer = -2;   // the web server answered, not the service

const kGatewaySentences = {
  403: 'The server refused this request.',
  408: 'The server gave up waiting for the file service (5 minutes).',
  413: 'The request is too large for the server.',
  503: 'The file service is busy or not running. Try again in a moment.',
};

let onSignedOut = () => {};

// `handler` runs when the service answers that the session is not valid.
export function whenSignedOut(handler) {
  onSignedOut = handler;
}

// Posts `body` to `endpoint`; the reply when its error_code is 0. With
// `timeoutMs`, a call without an answer by then fails as one that got none.
export async function call(endpoint, body, {timeoutMs = 0} = {}) {
  for (let attempt = 0; ; ++attempt) {
    const reply = await post(endpoint, body, timeoutMs);
    const code = reply.error_code;
    // The first request of a session starts its daemon, which may take a
    // moment to come up.
    if (code === 503 && attempt < 6) {
      await new Promise((done) => setTimeout(done, 500));
      continue;
    }
    if (code === 401) {
      onSignedOut();
      throw new ApiError(401, 'You are not signed in.');
    }
    if (code !== 0) {
      const text = reply.error_message || '';
      throw new ApiError(code, kGatewaySentences[code] || serviceSentence(text, code), text);
    }
    return reply;
  }
}

async function post(endpoint, body, timeoutMs) {
  const abort = new AbortController();
  const timer = timeoutMs > 0 ? setTimeout(() => abort.abort(), timeoutMs) : 0;
  let response;
  try {
    response = await fetch('/Orvane6/' + endpoint, {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify(body),
      credentials: 'same-origin',
      cache: 'no-store',
      signal: abort.signal,
    });
  } catch (error) {
    throw new ApiError(kNoAnswer, abort.signal.aborted ?
        'The server did not answer within ' + timeoutMs / 1000 + ' seconds.' :
        'The server did not answer.');
  } finally {
    clearTimeout(timer);
  }
  let reply = null;
  try {
    reply = await response.json();
  } catch (error) {
    // Not the service's JSON: the web server's own page.
  }
  if (!response.ok || reply === null || typeof reply.error_code !== 'number') {
    const status = response.status + (response.statusText ? ' ' + response.statusText : '');
    throw new ApiError(kWebServer, 'The web server answered ' + status + '.');
  }
  return reply;
}

function serviceSentence(text, code) {
  if (text === 'cache failure') return 'The list could not be stored. Try again.';
  if (text === 'invalid uuid') {
    return 'This list is no longer kept: a newer search of this session replaced it.';
  }
  return 'The file service refused the request (' + (text || 'error ' + code) + ').';
}
