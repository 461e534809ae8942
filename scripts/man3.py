#!/usr/bin/env python3
"""Writes the family pages man/man3/zttools_FAMILY.3 from zttools.h.

    scripts/man3.py [--check]

The header is where each function's contract is written; its pages say the
same in mdoc(7). Each family starts at a banner naming its source file and
page ("---- restart notifications: restart.cc, zttools_restart(3) ----");
a comment followed by a blank line is prose about the family, a comment
right before a declaration documents it (grouped declarations share it).
After changing a comment in zttools.h, run this and commit the pages with
the change; --check only says which pages differ (exit status 1).
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / 'src/lib/zttools/zttools.h'
MAN3 = ROOT / 'man/man3'
DATE = 'December 8, 2026'

SUMMARY = {
    'module': 'Tcl extension entry points',
    'restart': 'restart notifications: serving side and property transfer',
    'daemon': 'the daemon event loop of a service',
    'msgqueue': 'message queues between services',
    'confine': 'confinement, signal actions and random numbers',
    'files': 'file sizes, copies, tests, directory paths and path names',
    'array': 'growable pointer arrays',
    'str': 'string building, words, validation, patterns, ranges, tags, bit sets '
           'and address text',
    'dump': 'diagnostic dumps of bytes',
    'atob': 'the atob codec of bytes as printable text',
    'io': 'sockets and descriptor I/O',
    'netif': 'interfaces, routes, network roles, drop-in mode and ARP frames',
    'list': 'linked list of caller-owned elements, safe against removal while walked',
    'hash': 'chained hash table of caller-owned keys and data',
    'tree': 'balanced tree of caller-owned items with subtree counts',
    'cqueue': 'circular queue of fixed-size slots',
    'sockbuf': 'socket buffer for non-waiting reads and collected writes',
}

# Families whose header section starts with no prose of its own.
INTRO = {
    'module': [
        'A Tcl interpreter loads the library as an extension',
        '.Pq Ql load libzttools.so Zttools',
        'and calls one of these entry points.',
        'The library needs no initialisation: both succeed and register nothing.'],
    'restart': [
        'Every service that runs', '.Xr zttools_daemon 3',
        'listens on a local socket of its own,', '.Pa /tmp/restart_uds/ Ns Ar name .',
        'A peer connects, sends one request (a property check, a restart request or an '
        'event) and gets one 8-byte reply; the connection then ends.',
        'These functions are the serving side and the property transfer that both sides '
        'share; the messages, their payloads and offsets are described in',
        '.Xr zttools 7 .'],
    'daemon': [
        '.Fn ztuds_daemon', 'is the main loop of a service process.',
        'It owns the command server of the services library and the restart socket of',
        '.Xr zttools_restart 3', 'for its whole run.',
        'Each pass calls the idle handler when the idle interval has run out, waits in one',
        '.Xr select 2',
        "on both sockets and the caller's descriptors, lets the command server answer a "
        'ready command connection, serves a ready restart connection with',
        '.Fn restart_accept', "and calls the caller's descriptor handler with the ready set."],
}

DATA_OBJECTS = ('zt_tree_null', 'ATOB_Init')


def escape(text):
    """Roff escapes for a line of text; a minus before a digit is a minus."""
    text = text.replace('\\', '\\e')
    return re.sub(r'(?<![\w-])-(?=\d)', r'\\-', text)


def prose(text):
    """mdoc lines: one sentence a line, none taken for a macro."""
    text = escape(' '.join(text.split()))
    lines = re.split(r'(?<=[.:;!?)]) (?=[A-Z"(])', text)
    return ['\\&' + line if line[:1] in ".'" else line for line in lines]


def comment_text(lines):
    """The text of a /* ... */ block, one string a line."""
    out = []
    for line in lines:
        line = re.sub(r'^/\*+ ?|\*/$|^\* ?', '', line.strip())
        out.append(line.rstrip())
    return out


def read_families(header):
    """Families in header order: title, source, page and their items:
    ('text', prose), ('define', line, comment), ('record', lines, comment) and
    ('decl', declaration, comment)."""
    families, family, pending = [], None, []
    lines = header.read_text().split('\n')
    i = 0

    def take_until(ends):
        nonlocal i
        block = [lines[i]]
        while not ends(block):
            i += 1
            block.append(lines[i])
        return block

    while i < len(lines):
        line = lines[i]
        banner = re.match(r'/\* ---- (.*): (\S+), zttools_(\w+)\(3\) -+ \*/', line)
        if banner:
            family = {'source': banner.group(2), 'page': banner.group(3), 'items': []}
            families.append(family)
            pending = []
        elif family is None:
            pass
        elif line.startswith('#ifdef __cplusplus'):
            family = None
        elif line.strip().startswith('/*'):
            pending = comment_text(take_until(lambda b: b[-1].rstrip().endswith('*/')))
            if i + 1 < len(lines) and not lines[i + 1].strip():
                for paragraph in '\n'.join(pending).split('\n\n'):
                    family['items'].append(('text', ' '.join(paragraph.split('\n'))))
                pending = []
        elif line.startswith('#define'):
            family['items'].append(('define', line, pending))
            pending = []
        elif line.startswith('struct ') and line.rstrip().endswith(';'):
            pass  # a forward declaration of a platform record
        elif line.startswith('typedef'):
            def complete(block):
                depth = sum(b.count('{') - b.count('}') for b in block)
                return depth == 0 and block[-1].rstrip().endswith(';')
            family['items'].append(('record', take_until(complete), pending))
            pending = []
        elif line.startswith('ZT_API'):
            block = take_until(lambda b: b[-1].rstrip().endswith(';'))
            family['items'].append(('decl', ' '.join(b.strip() for b in block), pending))
            pending = []
        i += 1
    return families


def split_arguments(text):
    """Top-level comma-separated parts (function pointer types keep theirs)."""
    parts, depth, part = [], 0, ''
    for ch in text:
        if ch == ',' and depth == 0:
            parts.append(part.strip())
            part = ''
            continue
        depth += (ch == '(') - (ch == ')')
        part += ch
    return parts + [part.strip()] if part.strip() else parts


def parse_declaration(decl):
    """('var', type, name) or ('fn', result type, name, arguments)."""
    decl = re.sub(r'\s*__attribute__.*;$', ';', decl[len('ZT_API '):])
    if decl.startswith('extern '):
        m = re.match(r'extern (.*?)(\w+);', decl)
        return ('var', m.group(1).strip(), m.group(2))
    m = re.match(r'(.*?)(\w+)\((.*)\);$', decl)
    return ('fn', m.group(1).strip(), m.group(2), split_arguments(m.group(3)))


def page(family):
    page_name = family['page']
    items = family['items']
    decls, groups = [], []  # groups: [names, comment] sharing one comment
    for item in items:
        if item[0] != 'decl':
            continue
        decl = parse_declaration(item[1])
        decls.append(decl)
        name = decl[2]
        if item[2] or not groups:
            groups.append([[name], ' '.join(item[2])])
        else:
            groups[-1][0].append(name)
    names = [d[2] for d in decls]

    out = ['.Dd ' + DATE, '.Dt ZTTOOLS_%s 3' % page_name.upper(), '.Os', '.Sh NAME']
    out += ['.Nm %s%s' % (n, ' ,' if k < len(names) - 1 else '') for k, n in enumerate(names)]
    out += ['.Nd ' + SUMMARY[page_name], '.Sh LIBRARY', 'zttools', '.Pq Fl lzttools',
            '.Sh SYNOPSIS', '.In zttools.h']
    for item in items:
        if item[0] == 'define':
            define = ' '.join(item[1].split('/*')[0].split())
            out.append('.Fd ' + escape(define).replace('"', '\\(dq'))
    for decl in decls:
        if decl[0] == 'var':
            out += ['.Vt ' + decl[1], '.Va %s ;' % decl[2]]
            continue
        _, result, name, arguments = decl
        out.append('.Ft ' + ('"%s"' % result if ' ' in result else result))
        out += ['.Fo ' + name] + ['.Fa "%s"' % a for a in arguments] + ['.Fc']

    out.append('.Sh DESCRIPTION')
    paragraphs = [INTRO[page_name]] if page_name in INTRO else []
    paragraphs += [prose(item[1]) for item in items if item[0] == 'text']
    for k, paragraph in enumerate(paragraphs):
        out += (['.Pp'] if k else []) + paragraph
    # Constants under the comment that says what they are; one right after
    # such a group, without a comment of its own, belongs to it.
    constants, in_group = [], False
    for item in items:
        if item[0] != 'define':
            in_group = False
        elif item[2]:
            constants.append([item[2], [item[1]]])
            in_group = True
        elif in_group:
            constants[-1][1].append(item[1])
    if constants:
        out.append('.Ss Constants')
        for k, (comment, lines) in enumerate(constants):
            out += (['.Pp'] if k else []) + prose(' '.join(comment))
            out.append('.Bd -literal -offset indent')
            out += [escape(line.rstrip()) for line in lines]
            out.append('.Ed')
    records = [item for item in items if item[0] == 'record']
    if records:
        out.append('.Ss Records and callbacks')
        for k, (_, lines, comment) in enumerate(records):
            if comment:
                out += (['.Pp'] if k else []) + prose(' '.join(comment))
            out.append('.Bd -literal -offset indent')
            out += [escape(line.rstrip()) for line in lines]
            out.append('.Ed')
    out += ['.Ss Functions', '.Bl -tag -width Ds']
    for group_names, comment in groups:
        out.append('.It ' + ' , '.join(
            ('Va ' if n in DATA_OBJECTS else 'Fn ') + n for n in group_names))
        out += prose(comment)
    out += ['.El', '.Sh SEE ALSO', '.Xr zttools 7', '.Pp',
            'The contract of each function is also stated next to its declaration in',
            '.In zttools.h ;', 'the family is implemented in',
            '.Pa src/lib/zttools/%s .' % family['source']]
    return '\n'.join(out) + '\n'


def main():
    check = sys.argv[1:] == ['--check']
    stale = []
    for family in read_families(HEADER):
        path = MAN3 / ('zttools_%s.3' % family['page'])
        text = page(family)
        if not path.exists() or path.read_text() != text:
            stale.append(path.name)
            if not check:
                path.write_text(text)
    if check and stale:
        print('out of date with zttools.h (run scripts/man3.py):', ' '.join(stale))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
