#!/usr/bin/env python3
"""Makes the table of list-signature cases, with ssh-keygen, into a folder, and
records beside each case the verdict ssh-keygen itself gives on its files.

  make_signature_cases.py FOLDER

Keys of every supported type are made afresh (Ed25519, ECDSA P-256, P-384 and
P-521, RSA 2048); `ssh-keygen -Y sign` signs a trust list with them, and the
cases vary the list, the signature and the allowed signers. A few signatures
ssh-keygen cannot be asked for are made here from its own parts: an RSA one
with rsa-sha2-256 or SHA-1 (by openssl with the same key), and blobs with a
field changed (version, reserved bytes, a key's name).

ssh-keygen's verdict of a case is the one a user gets without a principal:
`ssh-keygen -Y find-principals`, then `ssh-keygen -Y verify -I P -n trustlist`
for each principal P it prints, until one is accepted; both at the fixed time
the case table uses (-Overify-time).

FOLDER must be empty or hold the cases of an earlier run, which are replaced.
FOLDER/cases.json holds {"now", "ssh_keygen_version", "cases": [...]}, each
case {"name", "data", "signature", "allowed_signers" (paths inside FOLDER),
"expect": "ok" or "refused", "principal" (when ok) or "reason" (a part of
trustctl's reason), "ssh_keygen": {"ok", "principal"}}. Without ssh-keygen
it holds {"unavailable": why} and the script still succeeds, so that the test
decides whether that is allowed.
"""
import base64
import calendar
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys

NOW = calendar.timegm((2026, 6, 15, 12, 0, 0))
NOW_TEXT = "20260615120000Z"
NAMESPACE = "trustlist"
OWNER = "owner@example.com"
# The order of the Ed25519 group.
ED25519_L = 2**252 + 27742317777372353535851937790883648493
LIST = (b'{"name":"tool.exe","path":"C:\\\\Tools\\\\tool.exe"}\n'
        b'{"name":"other.exe","fingerprint":"00001000:1234abcd"}\n')

KEYS = {  # name: ssh-keygen -t, -b
    "ed25519": ("ed25519", None),
    "ecdsa256": ("ecdsa", "256"),
    "ecdsa384": ("ecdsa", "384"),
    "ecdsa521": ("ecdsa", "521"),
    "rsa": ("rsa", "2048"),
}


def run(args, data=None):
    return subprocess.run(args, input=data, capture_output=True, timeout=120)


def string(b):
    return struct.pack(">I", len(b)) + b


def read_strings(blob, at, count):
    out = []
    for _ in range(count):
        n = struct.unpack_from(">I", blob, at)[0]
        out.append(blob[at + 4: at + 4 + n])
        at += 4 + n
    return out, at


def dearmor(text):
    lines = text.decode().strip().split("\n")
    return base64.b64decode("".join(lines[1:-1]))


def armor(blob, width=70):
    b64 = base64.b64encode(blob).decode()
    body = "\n".join(b64[i: i + width] for i in range(0, len(b64), width))
    return ("-----BEGIN SSH SIGNATURE-----\n%s\n-----END SSH SIGNATURE-----\n" % body).encode()


class Blob:
    """The fields of an SSHSIG blob, to be changed and written again."""

    def __init__(self, armored):
        blob = dearmor(armored)
        assert blob[:6] == b"SSHSIG"
        self.magic = blob[:6]
        self.version = struct.unpack_from(">I", blob, 6)[0]
        (self.key, self.namespace, self.reserved, self.hashalg, self.signature), _ = \
            read_strings(blob, 10, 5)

    def bytes(self):
        return (self.magic + struct.pack(">I", self.version) + string(self.key) +
                string(self.namespace) + string(self.reserved) + string(self.hashalg) +
                string(self.signature))

    def armored(self):
        return armor(self.bytes())


def signed_data(hashalg, message):
    digest = hashlib.new(hashalg, message).digest()
    return (b"SSHSIG" + string(NAMESPACE.encode()) + string(b"") + string(hashalg.encode()) +
            string(digest))


class Maker:
    def __init__(self, folder, keygen):
        self.folder = folder
        self.keygen = keygen
        self.cases = []
        for sub in ("keys", "lists", "signatures", "signers"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        self.keys = {}
        for name, (kind, bits) in KEYS.items():
            path = os.path.join(folder, "keys", name)
            args = [keygen, "-q", "-t", kind, "-N", "", "-C", name + " key", "-f", path]
            if bits:
                args += ["-b", bits]
            self.check(run(args), "make the %s key" % name)
            with open(path + ".pub") as f:
                self.keys[name] = " ".join(f.read().split()[:2])
        self.lists = {"programs": self.write("lists/programs.jsonl", LIST),
                      "tampered": self.write("lists/tampered.jsonl", LIST.replace(b"1234", b"1235")),
                      "empty": self.write("lists/empty.jsonl", b"")}

    @staticmethod
    def check(result, what):
        if result.returncode != 0:
            sys.exit("could not %s: %s" % (what, result.stderr.decode(errors="replace")))

    def write(self, rel, data):
        with open(os.path.join(self.folder, rel), "wb") as f:
            f.write(data)
        return rel

    def sign(self, key, message=LIST, namespace=NAMESPACE, hashalg=None):
        args = [self.keygen, "-Y", "sign", "-n", namespace, "-f",
                os.path.join(self.folder, "keys", key)]
        if hashalg:
            args += ["-O", "hashalg=" + hashalg]
        result = run(args, message)
        self.check(result, "sign with the %s key" % key)
        return result.stdout

    def openssl_rsa(self, algorithm, digest, hashalg="sha512"):
        """A signature of the list by the RSA key with `algorithm` over `digest`."""
        pem = os.path.join(self.folder, "keys", "rsa.pem")
        if not os.path.exists(pem):
            shutil.copy(os.path.join(self.folder, "keys", "rsa"), pem)
            self.check(run([self.keygen, "-q", "-p", "-N", "", "-m", "PEM", "-f", pem]),
                       "write the RSA key as PEM")
        data = os.path.join(self.folder, "keys", "rsa.tosign")
        with open(data, "wb") as f:
            f.write(signed_data(hashalg, LIST))
        result = run(["openssl", "dgst", "-" + digest, "-sign", pem, data])
        self.check(result, "sign with openssl")
        blob = Blob(self.sign("rsa", hashalg=hashalg))
        blob.signature = string(algorithm.encode()) + string(result.stdout)
        return blob.armored()

    def add(self, name, signature, signers, expect, detail="", data="programs"):
        """One case: `detail` is the principal when expect is "ok", else a part of the reason."""
        sig = self.write("signatures/%s.sig" % name, signature)
        allowed = self.write("signers/%s.txt" % name,
                             signers if isinstance(signers, bytes) else signers.encode())
        case = {"name": name, "data": self.lists[data], "signature": sig,
                "allowed_signers": allowed, "expect": expect,
                "principal" if expect == "ok" else "reason": detail}
        case["ssh_keygen"] = self.verdict(case)
        self.cases.append(case)

    def verdict(self, case):
        path = lambda rel: os.path.join(self.folder, rel)
        common = ["-f", path(case["allowed_signers"]), "-s", path(case["signature"]),
                  "-Overify-time=" + NOW_TEXT]
        found = run([self.keygen, "-Y", "find-principals"] + common)
        if found.returncode == 0:
            with open(path(case["data"]), "rb") as f:
                data = f.read()
            for principal in found.stdout.decode().splitlines():
                if principal and run([self.keygen, "-Y", "verify", "-I", principal, "-n",
                                      NAMESPACE] + common, data).returncode == 0:
                    return {"ok": True, "principal": principal}
        return {"ok": False, "principal": ""}


def make(m):
    k = m.keys
    line = lambda key, options="", principals=OWNER: \
        "%s %s%s\n" % (principals, options + " " if options else "", k[key])

    # Every key type, both hash algorithms; each signature on a changed list.
    for key in KEYS:
        for hashalg in ("sha256", "sha512"):
            m.add("good_%s_%s" % (key, hashalg), m.sign(key, hashalg=hashalg), line(key), "ok",
                  OWNER)
        m.add("tampered_%s" % key, m.sign(key), line(key), "refused",
              "the signature is not valid for this list", data="tampered")
    m.add("good_empty_list", m.sign("ed25519", b""), line("ed25519"), "ok", OWNER, data="empty")
    m.add("rsa_sha2_256", m.openssl_rsa("rsa-sha2-256", "sha256"), line("rsa"), "ok", OWNER)
    m.add("rsa_sha1_refused", m.openssl_rsa("ssh-rsa", "sha1"), line("rsa"), "refused",
          "SHA-1 (ssh-rsa) are refused")

    good = m.sign("ed25519")
    blob = Blob(good)
    # The signature and its armour.
    m.add("signature_empty", b"", line("ed25519"), "refused", "the signature is empty")
    m.add("signature_blank", b" \n\n", line("ed25519"), "refused", "the signature is empty")
    m.add("armour_no_header", good.split(b"\n", 1)[1], line("ed25519"), "refused",
          "malformed signature: it does not start")
    m.add("armour_text_before", b"signature:\n" + good, line("ed25519"), "refused",
          "malformed signature: it does not start")
    m.add("armour_crlf", good.replace(b"\n", b"\r\n"), line("ed25519"), "refused",
          "malformed signature: it does not start")
    m.add("armour_no_footer", good.replace(b"-----END SSH SIGNATURE-----", b""), line("ed25519"),
          "refused", "malformed signature: no line \"-----END")
    m.add("armour_text_after", good + b"more text\n", line("ed25519"), "ok", OWNER)
    m.add("armour_one_line", armor(blob.bytes(), 10**6), line("ed25519"), "ok", OWNER)
    m.add("armour_narrow", armor(blob.bytes(), 13), line("ed25519"), "ok", OWNER)
    cut = good.split(b"\n")
    cut[2] = b"!" + cut[2][1:]
    m.add("armour_bad_base64", b"\n".join(cut), line("ed25519"), "refused",
          "its base64 text is not valid")
    m.add("armour_cut_group", good.replace(b"\n-----END", b"A\n-----END"), line("ed25519"),
          "refused", "its base64 text is not valid")
    m.add("blob_truncated", armor(blob.bytes()[:-10]), line("ed25519"), "refused",
          "malformed signature: the blob is cut short")
    m.add("blob_trailing_bytes", armor(blob.bytes() + b"\0"), line("ed25519"), "refused",
          "malformed signature: bytes follow the signature")
    changed = Blob(good)
    changed.magic = b"SSHSIH"
    m.add("blob_wrong_magic", changed.armored(), line("ed25519"), "refused", "SSHSIG blob")
    changed = Blob(good)
    changed.version = 2
    m.add("blob_version_2", changed.armored(), line("ed25519"), "refused", "version 2")
    changed = Blob(good)
    changed.version = 0
    m.add("blob_version_0", changed.armored(), line("ed25519"), "ok", OWNER)
    changed = Blob(good)
    changed.reserved = b"reserved"
    m.add("blob_reserved_ignored", changed.armored(), line("ed25519"), "ok", OWNER)
    changed = Blob(good)
    changed.hashalg = b"sha1"
    m.add("hash_sha1", changed.armored(), line("ed25519"), "refused", "\"sha1\" is not sha256")
    changed = Blob(good)
    changed.hashalg = b"sha256"
    m.add("hash_not_the_signed_one", changed.armored(), line("ed25519"), "refused",
          "not valid for this list")
    changed = Blob(good)
    (_, pk), _ = read_strings(changed.key, 0, 2)
    changed.key = string(b"ED25519") + string(pk)
    m.add("key_short_name", changed.armored(), line("ed25519"), "ok", OWNER)
    changed = Blob(good)
    changed.key = string(b"sk-ssh-ed25519@openssh.com") + string(pk) + string(b"ssh:")
    m.add("key_security_key", changed.armored(), line("ed25519"), "refused",
          "security keys (sk-ssh-ed25519@openssh.com) are not supported")
    # S + L in place of S is another form of the same signature by the same
    # key, not a forgery: OpenSSH's Ed25519 and libgcrypt both take it.
    changed = Blob(good)
    (name, raw), _ = read_strings(changed.signature, 0, 2)
    s = int.from_bytes(raw[32:], "little") + ED25519_L
    changed.signature = string(name) + string(raw[:32] + s.to_bytes(32, "little"))
    m.add("ed25519_s_plus_order", changed.armored(), line("ed25519"), "ok", OWNER)
    m.add("namespace_git", m.sign("ed25519", namespace="git"), line("ed25519"), "refused",
          "made for the namespace \"git\", not \"trustlist\"")

    # The allowed signers.
    ed = lambda options="", principals=OWNER: line("ed25519", options, principals)
    m.add("unknown_key", good, line("ecdsa256") + line("rsa"), "refused",
          "no line of the allowed signers holds the signing key")
    m.add("no_signers", good, "", "refused", "no line of the allowed signers holds")
    m.add("namespaces_exclude", good, ed('namespaces="git,file"'), "refused",
          "line 1: the key's namespaces do not include \"trustlist\"")
    m.add("namespaces_pattern", good, ed('namespaces="git,trust*"'), "ok", OWNER)
    m.add("namespaces_negated", good, ed('namespaces="*,!trustlist"'), "refused",
          "namespaces do not include")
    m.add("namespaces_option_case", good, ed('NAMESPACES="trustlist"'), "ok", OWNER)
    m.add("namespaces_empty", good, ed('namespaces=""'), "refused", "namespaces do not include")
    m.add("expired", good, ed('valid-before="20200101Z"'), "refused",
          "line 1: the signer's key is not valid after 2020-01-01 00:00:00 UTC")
    m.add("not_yet_valid", good, ed('valid-after="20990101Z"'), "refused",
          "the signer's key is not valid before 2099-01-01 00:00:00 UTC")
    m.add("valid_window", good, ed('valid-after="20200101",valid-before="20990101120000Z"'),
          "ok", OWNER)
    m.add("valid_before_is_now", good, ed('valid-before="%s"' % NOW_TEXT), "ok", OWNER)
    m.add("valid_after_is_now", good, ed('valid-after="%s"' % NOW_TEXT), "ok", OWNER)
    m.add("valid_before_a_second_ago", good, ed('valid-before="20260615115959Z"'), "refused",
          "not valid after 2026-06-15 11:59:59 UTC")
    m.add("valid_after_utc_suffix", good, ed('valid-after="202606151201UTC"'), "refused",
          "not valid before 2026-06-15 12:01:00 UTC")
    m.add("valid_before_local_time", good, ed('valid-before="20300101"'), "ok", OWNER)
    m.add("time_not_understood", good, ed('valid-before="2020-01-01"'), "refused",
          "line 1 could not be read: bad options: invalid \"valid-before\" time")
    m.add("valid_before_before_after", good,
          ed('valid-after="20300101Z",valid-before="20200101Z"'), "refused", "is not after")
    m.add("cert_authority", good, ed("cert-authority"), "refused",
          "line 1: the key is a certificate authority there")
    m.add("unknown_option", good, ed('colour="blue"'), "refused", "unknown key option")
    m.add("missing_key", good, OWNER + ' namespaces="trustlist"\n', "refused", "missing key")
    m.add("bad_key_base64", good, "%s ssh-ed25519 AAAA!!!!\n" % OWNER, "refused",
          "could not be read: invalid key")
    other = k["rsa"].split()[1]
    m.add("key_not_its_type", good, "%s ssh-ed25519 %s\n" % (OWNER, other) + ed(), "ok", OWNER)
    m.add("curve_not_its_type", good,
          "%s ecdsa-sha2-nistp384 %s\n" % (OWNER, k["ecdsa256"].split()[1]), "refused",
          "could not be read: invalid key")
    m.add("rsa_named_by_signature", Blob(m.sign("rsa")).armored(),
          "%s rsa-sha2-512 %s\n" % (OWNER, other), "ok", OWNER)
    m.add("unreadable_line_skipped", good, "this is not a signer\n" + ed(), "ok", OWNER)
    m.add("principal_patterns", good, ed(principals="*@example.com,!mallory@example.com"), "ok",
          "*@example.com")
    m.add("principal_quoted", good, ed(principals='"Owner Name"'), "ok", "Owner Name")
    m.add("principals_several", good, ed(principals="first@example.com,second@example.com"),
          "ok", "first@example.com")
    m.add("principal_empty_first", good, ed(principals=",owner"), "refused",
          "name no line that allows")
    m.add("first_line_namespace_other_principal", good,
          ed('namespaces="git"', "alice") + ed("", "bob"), "refused",
          "line 1: the key's namespaces do not include")
    m.add("first_line_namespace_same_principal", good,
          ed('namespaces="git"', "alice") + ed("", "alice"), "ok", "alice")
    m.add("expired_line_skipped_by_search", good,
          ed('valid-before="20200101Z"', "alice") + ed("", "bob"), "ok", "bob")
    m.add("comments_and_blank_lines", good,
          "# trust list signers\n\n   \n\t# indented\n" + ed().rstrip("\n") + " the owner's key\n",
          "ok", OWNER)
    m.add("crlf_line_ends", good, ("# signers\n" + ed('namespaces="trustlist"')).replace(
          "\n", "\r\n"), "ok", OWNER)
    m.add("nul_ends_line", good, ed().encode().replace(b"\n", b"\0garbage\n"), "ok", OWNER)
    m.add("no_final_line_end", good, ed().rstrip("\n"), "ok", OWNER)


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_signature_cases.py FOLDER")
    folder = argv[1]
    manifest = os.path.join(folder, "cases.json")
    # A folder of an earlier run is made anew; any other folder must be empty.
    if os.path.isdir(folder) and os.listdir(folder):
        if not os.path.exists(manifest):
            sys.exit("%s is neither empty nor a folder of signature cases" % folder)
        shutil.rmtree(folder)
    os.makedirs(folder, exist_ok=True)
    keygen = shutil.which("ssh-keygen")
    if keygen is None or shutil.which("openssl") is None:
        with open(manifest, "w") as f:
            json.dump({"unavailable": "ssh-keygen or openssl is not installed"}, f)
        return 0
    m = Maker(folder, keygen)
    make(m)
    version = run(["ssh", "-V"]).stderr.decode().strip()
    with open(manifest, "w") as f:
        json.dump({"now": NOW, "ssh_keygen_version": version, "cases": m.cases}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
