#!/usr/bin/python3
"""A small OAuth 2.0 authorization server for tests, on 127.0.0.1.

Usage: oauth_server.py. It prints its port as the first line on stdout and stops when its stdin closes.
A line "revoke" on stdin revokes every refresh token issued so far; it answers "revoked" when done.

GET /authorize redirects at once to the redirect URI (no consent page): with a code, or with the error the
client_id asks for. POST /token takes the authorization_code grant (checking the PKCE S256 verifier, RFC 7636
4.6) and the refresh_token grant (rotating the refresh token: the old one stops working).

The client_id chooses the behaviour: "deny" (the user declines), "tamper" (the redirect carries another state),
"mismatch" (the stored challenge does not fit the verifier), "short" (access tokens live 30 seconds), "once"
(an access token said to live an hour serves one login only, as if it expired right after); any other client is
served normally with one-hour tokens. POST /introspect (RFC 7662) answers whether an access token is active, for
the SMTP peer. An id_token naming anna@example.org comes with the code grant
when the scope holds "openid".
"""
import base64
import hashlib
import json
import secrets
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.Lock()
codes = {}          # code -> (client_id, redirect_uri, challenge, scope)
refresh_tokens = {}  # refresh token -> client_id
access_tokens = {}  # access token -> [expiry time, logins left or None]


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def new_token(prefix):
    # "+" and "/" in every token: a client that does not percent-encode them loses them in a form body.
    return prefix + secrets.token_urlsafe(18) + "+/="


def id_token(email):
    head = b64url(json.dumps({"alg": "none"}).encode())
    body = b64url(json.dumps({"email": email, "sub": "1"}).encode())
    return head + "." + body + "."


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, status, payload=None, location=None):
        body = json.dumps(payload).encode() if payload is not None else b""
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/authorize":
            return self.reply(404, {"error": "not_found"})
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        redirect = query.get("redirect_uri", "")
        if not (redirect.startswith("http://127.0.0.1:") or redirect.startswith("http://localhost:")):
            return self.reply(400, {"error": "invalid_request", "error_description": "redirect_uri"})
        client, state = query.get("client_id", ""), query.get("state", "")
        answer = {"state": state}
        if query.get("response_type") != "code" or query.get("code_challenge_method") != "S256" \
                or len(query.get("code_challenge", "")) != 43 or not state:
            answer.update(error="invalid_request", error_description="PKCE S256 and state are required")
        elif client == "deny":
            answer.update(error="access_denied", error_description="The user declined.")
        else:
            code = new_token("code-")
            challenge = query["code_challenge"]
            if client == "mismatch":
                challenge = b64url(hashlib.sha256(b"another verifier").digest())
            if client == "tamper":
                answer["state"] = state + "x"
            with lock:
                codes[code] = (client, redirect, challenge, query.get("scope", ""))
            answer["code"] = code
        self.reply(302, location=redirect + "?" + urllib.parse.urlencode(answer, quote_via=urllib.parse.quote))

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode(), keep_blank_values=True))
        if path == "/introspect":
            return self.introspect(form.get("token", ""))
        if path != "/token":
            return self.reply(404, {"error": "not_found"})
        grant = form.get("grant_type")
        with lock:
            if grant == "authorization_code":
                entry = codes.pop(form.get("code", ""), None)  # a code serves once
                if entry is None:
                    return self.refuse("unknown or used code")
                client, redirect, challenge, scope = entry
                if form.get("client_id") != client or form.get("redirect_uri") != redirect:
                    return self.refuse("client_id or redirect_uri differ from the authorization request")
                if b64url(hashlib.sha256(form.get("code_verifier", "").encode()).digest()) != challenge:
                    return self.refuse("PKCE verifier mismatch")
            elif grant == "refresh_token":
                client = refresh_tokens.pop(form.get("refresh_token", ""), None)
                if client is None or form.get("client_id") != client:
                    return self.refuse("refresh token revoked or unknown")
                scope = ""
            else:
                return self.reply(400, {"error": "unsupported_grant_type"})
            refresh = new_token("rt-")
            refresh_tokens[refresh] = client
        lifetime = 30 if client == "short" else 3600
        answer = {"access_token": new_token("at-"), "token_type": "Bearer",
                  "expires_in": lifetime, "refresh_token": refresh}
        with lock:
            access_tokens[answer["access_token"]] = [time.time() + lifetime, 1 if client == "once" else None]
        if "openid" in scope.split():
            answer["id_token"] = id_token("anna@example.org")
        self.reply(200, answer)

    def introspect(self, token):
        with lock:
            entry = access_tokens.get(token)
            active = entry is not None and time.time() < entry[0] and entry[1] != 0
            if active and entry[1] is not None:
                entry[1] -= 1
        self.reply(200, {"active": active})

    def refuse(self, description):
        self.reply(400, {"error": "invalid_grant", "error_description": description})


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    for line in sys.stdin:
        if line.strip() == "revoke":
            with lock:
                refresh_tokens.clear()
            print("revoked", flush=True)
    server.shutdown()


if __name__ == "__main__":
    main()
