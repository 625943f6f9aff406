#!/usr/bin/env python3
"""Checks the page developers' guide (docs/) against the code, and runs its examples.

    check_docs.py SOURCE_DIR KSCAPI

- The operation headings of docs/operations.md are exactly the operations of
  control/operations.def, and browser/kscapi.d.ts declares exactly those.
- Every named constant of browser/kscapi.js is declared in kscapi.d.ts with the same
  value and documented in docs/ with that value; the guide names no other constant.
- Every "| code | `message` |" row of docs/ quotes status/error_messages.cpp exactly.
- The fenced blocks marked "checked" run against signatures the control makes
  (`sh checked OP FLAGS`; `python checked FUNCTION`, called with the cases below).
"""
import base64
import json
import os
import re
import subprocess
import sys
import tempfile

TEXT = '轉帳 1000 元\n給 王小明'
OTHER = '轉帳 9000 元\n給 王小明'
failures = []


def check(name, ok, detail=''):
    print(('ok   ' if ok else 'FAIL ') + name + ('' if ok or not detail else ': ' + str(detail)))
    if not ok:
        failures.append(name)


def read(*parts):
    with open(os.path.join(*parts), encoding='utf-8') as f:
        return f.read()


def check_names(source):
    table = read(source, 'control/operations.def')
    operations = re.findall(r'^KS_OPERATION\(\s*\d+,\s*\d+,\s*(\w+),', table, re.M)
    guide = read(source, 'docs/operations.md')
    headings = re.findall(r'^### (\w+)$', guide, re.M)
    check('37 operations in the table', len(operations) == 37, len(operations))
    check('every operation has its section', not set(operations) - set(headings),
          sorted(set(operations) - set(headings)))
    check('no section for an unknown operation', not set(headings) - set(operations),
          sorted(set(headings) - set(operations)))
    declarations = read(source, 'browser/kscapi.d.ts')
    declared = re.findall(r'^  (\w+)\(.*\): Promise<(?:string|number)>;$', declarations, re.M)
    check('kscapi.d.ts declares exactly the operations', sorted(declared) == sorted(operations),
          sorted(set(declared) ^ set(operations)))

    library = read(source, 'browser/kscapi.js')
    constants = {n: int(v, 0) for n, v in re.findall(r'^    ([A-Z][A-Z0-9_]+): (0x[0-9A-Fa-f]+|\d+),', library, re.M)}
    typed = {n: int(v, 0) for n, v in re.findall(r'^  readonly ([A-Z][A-Z0-9_]+): (0x[0-9A-Fa-f]+|\d+);', declarations, re.M)}
    check('kscapi.js names constants', len(constants) > 40, len(constants))
    check('kscapi.d.ts declares the same constants and values', typed == constants,
          sorted(set(typed.items()) ^ set(constants.items())))
    docs = ''.join(read(source, 'docs', name) for name in sorted(os.listdir(os.path.join(source, 'docs'))))
    documented = {}
    for name, value in re.findall(r'\| `Kestrune\.([A-Z][A-Z0-9_]+)` \| (0x[0-9A-Fa-f]+|\d+) \|', docs):
        documented.setdefault(name, set()).add(int(value, 0))
    missing = sorted(n for n in constants if n not in documented)
    wrong = sorted(n for n, v in documented.items() if n in constants and v != {constants[n]})
    check('every constant is documented with its value', not missing and not wrong, (missing, wrong))
    mentioned = set(re.findall(r'Kestrune\.([A-Z][A-Z0-9_]+)', docs))
    check('the guide names no unknown constant', mentioned <= set(constants), sorted(mentioned - set(constants)))

    messages = read(source, 'status/error_messages.cpp')
    table = {int(c): m.replace('\\"', '"') for c, m in re.findall(r'\{(\d+), u"((?:[^"\\]|\\.)*)"\}', messages)}
    undefined = re.search(r'kUndefinedFormat = u"([^"]*)"', messages).group(1)
    rows = re.findall(r'^\| (\d{4}) \| `([^`]*)` \|', docs, re.M)
    wrong = [(c, m) for c, m in rows if m != table.get(int(c), undefined).replace('%d', c)]
    check(f'the {len(rows)} quoted messages are the control\'s', rows and not wrong, wrong)


class Engine:
    """Signatures made by the kscapi command line over one signer, good.pfx."""

    def __init__(self, source, kscapi, work):
        self.kscapi, self.home = kscapi, os.path.join(work, 'home')
        fixtures = os.path.join(source, 'tests/fixtures/sign')
        subprocess.run([kscapi, '--home', self.home, 'store', 'import-pfx',
                        os.path.join(fixtures, 'good.pfx'), 'secret'], check=True, capture_output=True)
        self.certificate = self.run('GetCertB64')
        with open(os.path.join(work, 'ca.pem'), 'wb') as ca:
            for der in ('root.der', 'inter.der'):
                ca.write(subprocess.run(['openssl', 'x509', '-inform', 'DER', '-in', os.path.join(fixtures, der)],
                                        check=True, capture_output=True).stdout)

    def run(self, op, *args):
        script = 'SelectSigner "" 0 0\n' + op + ''.join(' ' + json.dumps(a) for a in args) + '\n'
        out = subprocess.run([self.kscapi, '--home', self.home, '--ui', 'none', 'run', '-'],
                             input=script.encode(), capture_output=True, check=True).stdout
        *_, last = [json.loads(line) for line in out.decode().splitlines()]
        if last['lastError'] != 0:
            raise RuntimeError(f'{op} {args}: {last}')
        return last['ret']


def run_blocks(source, engine, work):
    guide = read(source, 'docs/encodings.md')
    blocks = re.findall(r'^```(sh|python) checked ?([^\n]*)\n(.*?)^```$', guide, re.M | re.S)
    check('the guide has checked blocks', len(blocks) >= 5, len(blocks))
    with open(os.path.join(work, 'text.txt'), 'w', encoding='utf-8') as f:
        f.write(TEXT)
    with open(os.path.join(work, 'cert.b64'), 'w') as f:
        f.write(engine.certificate)
    shell_cases = {}
    for number, (language, marker, code) in enumerate(blocks, 1):
        if language == 'sh':
            op, flags = marker.split()
            value = eval_flags(source, flags)
            signature = engine.run(op, TEXT, value)
            name = 'signature.b64' if op == 'SignPkcs7' or value & 0x100 else 'signature.hex'
            with open(os.path.join(work, name), 'w') as f:
                f.write(signature)
            result = subprocess.run(['sh', '-e', '-c', code], cwd=work, capture_output=True)
            check(f'sh block {number} ({op} {flags})', result.returncode == 0,
                  (result.stdout + result.stderr).decode(errors='replace')[-600:])
            shell_cases[number] = result.returncode
        else:
            namespace = {}
            exec(compile(code, f'encodings.md block {number}', 'exec'), namespace)
            PYTHON_CASES[marker.strip()](namespace[marker.strip()], engine, work)


def eval_flags(source, text):
    library = read(source, 'browser/kscapi.js')
    constants = {n: int(v, 0) for n, v in re.findall(r'^    ([A-Z][A-Z0-9_]+): (0x[0-9A-Fa-f]+|\d+),', library, re.M)}
    return sum({constants[n] for n in text.split('|')})


def pkcs1_cases(verify, engine, work):
    for flags, ansi, text, expected in ((0x4000, False, TEXT, True), (0x4800, True, TEXT, True),
                                         (0x4000, False, OTHER, False), (0x4800, False, TEXT, False)):
        signature = engine.run('SignPkcs1', TEXT, flags)
        check(f'verify_pkcs1 flags {flags:#x} ansi={ansi} {"same" if text == TEXT else "other"} text: {expected}',
              verify(engine.certificate, text, signature, ansi) is expected)


def pkcs7_cases(verify, engine, work):
    ca = os.path.join(work, 'ca.pem')
    for flags, detached, ansi, text, expected in ((0x4400, True, False, TEXT, True), (0x4000, False, False, TEXT, True),
                                                   (0x4800, False, True, TEXT, True), (0x6400, True, False, TEXT, True),
                                                   (0x4400, True, False, OTHER, False), (0x4000, False, False, OTHER, False)):
        signer = verify(engine.run('SignPkcs7', TEXT, flags), text, detached, ca, ansi)
        check(f'verify_pkcs7 flags {flags:#x} {"same" if text == TEXT else "other"} text: {expected}',
              (signer is not None) is expected and (signer is None or
                                                    'Sign Good' in signer.subject.rfc4514_string()))


PYTHON_CASES = {'verify_pkcs1': pkcs1_cases, 'verify_pkcs7': pkcs7_cases}


def main():
    source, kscapi = sys.argv[1:3]
    check_names(source)
    with tempfile.TemporaryDirectory() as work:
        run_blocks(source, Engine(source, kscapi, work), work)
    print('all passed' if not failures else f'{len(failures)} failed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
