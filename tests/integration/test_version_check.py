"""The version check against the local web server, through vcheck_probe.exe under Wine.

vcheck_probe runs the check exactly as the update client does, from the tarnbeam.xml in its own
folder, and prints the result (success, check error code, the update entry) as JSON. Each case
gets its own application folder inside one prefix. Catches, besides the check's own rules, a
document taken from a host outside the trusted domain by a redirect, and a document whose
document type declaration has the parser fetch a DTD or put a local file's text in the entry.
"""

import json
import os
import sys
import unittest
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, WebServer, exe_path  # noqa: E402

HOST = 'www.ondrel.com.jp'
INFO_URL = 'http://%s/update/info.xml' % HOST
LOCAL_ID = 'TB-Sample-App'
MD5 = '0123456789abcdef0123456789ABCDEF'
REMOTE_ORDER = ['VersionMajor', 'VersionMinor', 'VersionBuild', 'VersionString', 'FileURL',
                'FileName', 'FileMD5', 'Description', 'Date', 'ID']
# Installed 4.6.0 through the initialisation-file form.
INI_460 = '[tarnbeam]\r\nVersionMajor=4\r\nVersionMinor=6\r\nVersionBuild=0\r\n'


def local_xml(url=INFO_URL, component=True, id=LOCAL_ID, name='Sample App', module='app.ini',
              module_type='def'):
    parts = ['<?xml version="1.0" encoding="utf-8"?>', '<VeltroUpdate>',
             '<RegKey>Software\\Ondrel\\Sample</RegKey>']
    if url is not None:
        parts.append('<VersionInfoURL>%s</VersionInfoURL>' % escape(url))
    if component:
        type_attr = '' if module_type is None else ' type="%s"' % module_type
        parts.append('<Component><ID>%s</ID><Name>%s</Name><Module%s>%s</Module></Component>' %
                     (escape(id), escape(name), type_attr, escape(module)))
    parts.append('</VeltroUpdate>')
    return '\n'.join(parts)


def remote_component(version=('4', '6', '0'), id=LOCAL_ID, drop=(), **override):
    values = {
        'VersionMajor': version[0], 'VersionMinor': version[1], 'VersionBuild': version[2],
        'VersionString': 'Version %s.%s.%s' % version,
        'FileURL': 'http://%s/files/setup.exe' % HOST, 'FileName': 'setup.exe', 'FileMD5': MD5,
        'Description': '<![CDATA[<p>What is <b>new</b></p>]]>',
        'Date': 'Mon, 02 Jan 2006 15:04:05 GMT', 'ID': escape(id),
    }
    values.update(override)
    return '<Component>%s</Component>' % ''.join(
        '<%s>%s</%s>' % (k, values[k], k) for k in REMOTE_ORDER if k not in drop)


def remote_doc(*components):
    return ('<?xml version="1.0" encoding="utf-8"?>\n<UpdateInfoBase>%s</UpdateInfoBase>' %
            ''.join(components))


class VersionCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        cls.prefix = Prefix(server=cls.web).__enter__()
        cls.apps = 0

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def check(self, local, remote=None, files=None, code_start=0, route=None, more_routes=()):
        """Runs the check in a new application folder; returns the probe's report.
        `more_routes`: (path, route arguments) the server answers as well."""
        self.web.clear_routes()
        self.web.clear_log()
        for path, more in more_routes:
            self.web.route(path, **more)
        if remote is not None or route is not None:
            self.web.route('/update/info.xml', host=HOST, content_type='text/xml',
                           **(route or {'body': remote}))
        type(self).apps += 1
        content = {'vcheck_probe.exe': exe_path('vcheck_probe'),
                   'versioned_module.exe': exe_path('versioned_module'), 'app.ini': INI_460}
        if local is not None:
            content['tarnbeam.xml'] = local
        content.update(files or {})
        app = self.prefix.app_dir('App%d' % self.apps, content)
        r = self.prefix.run(app + '\\vcheck_probe.exe', ['--code-start', str(code_start)],
                            timeout=90)
        lines = [l for l in r.stdout.splitlines() if l.startswith('{')]
        self.assertTrue(lines, 'no report: %r %r' % (r.stdout, r.stderr))
        return json.loads(lines[-1])

    def assertEntry(self, report):
        self.assertTrue(report['ok'], report)
        self.assertEqual(len(report['entries']), 1)
        return report['entries'][0]

    def assertFailure(self, report, code):
        self.assertFalse(report['ok'], report)
        self.assertEqual(report['code'], code)
        self.assertEqual(report['entries'], [])

    # -- the entry -------------------------------------------------------------------------

    def test_entry_fields(self):
        entry = self.assertEntry(self.check(local_xml(), remote_doc(remote_component())))
        self.assertEqual(entry['kind'], 52)
        self.assertFalse(entry['newer'])
        self.assertEqual(entry['componentName'], 'Sample App')
        self.assertEqual(entry['installedVersion'], '4.06.00')
        self.assertEqual(entry['versionString'], 'Version 4.6.0')
        self.assertEqual(entry['fileUrl'], 'http://%s/files/setup.exe' % HOST)
        self.assertEqual(entry['fileName'], 'setup.exe')
        self.assertEqual(entry['fileMD5'], MD5)
        self.assertEqual(entry['description'], '<p>What is <b>new</b></p>')
        # 15:04:05 UTC is 00:04:05 the next day in Tokyo (the test time zone), a Tuesday.
        self.assertEqual(entry['releaseDate'], [2006, 1, 2, 3, 0, 4, 5, 0])
        self.assertEqual(len(self.web.requests('/update/info.xml')), 1)

    def test_newer_flag(self):
        """Installed 4.6.0: the flag is set only for a greater (major, minor, build). (4.7.0,
        5.0.0 and "07" are covered through tarnbeam.exe itself in test_notify.py.)"""
        cases = [
            (('4', '6', '0'), False), (('4', '6', '1'), True), (('4', '5', '9'), False),
            (('3', '99', '99'), False),
            (('4', 'x7', '0'), False),   # "x7" reads as 0: 4.0.0
            (('4', '6', '1beta'), True),  # leading digits count
            (('4', '6', 'beta'), False),
        ]
        for version, newer in cases:
            with self.subTest(version=version):
                entry = self.assertEntry(self.check(local_xml(), remote_doc(
                    remote_component(version))))
                self.assertEqual(entry['newer'], newer)
                self.assertEqual(entry['versionString'], 'Version %s.%s.%s' % version)

    def test_installed_version_sources(self):
        """The module's version resource (build = high word of the low file-version word, the
        fourth number unused), or with type "def" the initialisation file."""
        cases = [
            # module, type, files, installed text, remote version, newer
            ('versioned_module.exe', None, {}, '4.06.03', ('4', '6', '3'), False),
            ('versioned_module.exe', None, {}, '4.06.03', ('4', '6', '4'), True),
            # A section without VersionBuild counts build 0.
            ('nobuild.ini', 'def', {'nobuild.ini': '[tarnbeam]\r\nVersionMajor=4\r\nVersionMinor=6\r\n'},
             '4.06.00', ('4', '6', '0'), False),
            ('nobuild.ini', 'def', {'nobuild.ini': '[tarnbeam]\r\nVersionMajor=4\r\nVersionMinor=6\r\n'},
             '4.06.00', ('4', '6', '1'), True),
            # A missing file or section reads 0.0.0 in the initialisation-file form.
            ('missing.ini', 'def', {}, '0.00.00', ('0', '0', '1'), True),
            # Two-digit fields are zero-padded, wider ones are not cut.
            ('wide.ini', 'def', {'wide.ini': '[tarnbeam]\r\nVersionMajor=12\r\nVersionMinor=345\r\nVersionBuild=7\r\n'},
             '12.345.07', ('12', '345', '7'), False),
            # A sub-folder relative to the client's folder.
            ('sub\\app.ini', 'def', {'sub/app.ini': INI_460}, '4.06.00', ('4', '6', '0'), False),
        ]
        for module, mtype, files, text, version, newer in cases:
            with self.subTest(module=module, type=mtype, version=version):
                entry = self.assertEntry(self.check(local_xml(module=module, module_type=mtype),
                                                    remote_doc(remote_component(version)),
                                                    files=files))
                self.assertEqual(entry['installedVersion'], text)
                self.assertEqual(entry['newer'], newer)

    def test_absolute_module_path(self):
        self.prefix.app_dir('Elsewhere', {'product.ini': INI_460.replace('=6', '=9')})
        entry = self.assertEntry(self.check(local_xml(module='C:\\Elsewhere\\product.ini'),
                                            remote_doc(remote_component(('4', '9', '0')))))
        self.assertEqual(entry['installedVersion'], '4.09.00')
        self.assertFalse(entry['newer'])

    def test_first_match_wins_and_later_components_are_not_read(self):
        report = self.check(local_xml(), remote_doc(
            remote_component(('9', '0', '0'), id='Other'),
            remote_component(('4', '6', '1')),
            remote_component(('9', '9', '9')),
            remote_component(('9', '9', '9'), drop=('FileMD5',))))
        entry = self.assertEntry(report)
        self.assertEqual(entry['versionString'], 'Version 4.6.1')
        self.assertTrue(entry['newer'])

    def test_unparsable_date_keeps_entry(self):
        for date in ('yesterday', '2006-01-02T15:04:05Z', 'Mon, 30 Feb 2006 10:00:00 GMT'):
            with self.subTest(date=date):
                entry = self.assertEntry(self.check(local_xml(), remote_doc(
                    remote_component(('4', '6', '1'), Date=date))))
                self.assertEqual(entry['releaseDate'], [0] * 8)
                self.assertTrue(entry['newer'])

    # -- failures --------------------------------------------------------------------------

    def test_local_file_codes(self):
        bad_xml = local_xml().replace('</VeltroUpdate>', '')
        cases = [
            ('missing tarnbeam.xml', None, 102),
            ('not well-formed', bad_xml, 102),
            ('no Component', local_xml(component=False), 201),
            ('empty ID', local_xml(id=''), 201),
            ('empty Name', local_xml(name=''), 202),
            ('empty Module', local_xml(module=''), 203),
            ('module file missing', local_xml(module='absent.exe', module_type=None), 204),
            ('module without version resource', local_xml(module='app.ini', module_type=None), 204),
            ('type is case-sensitive', local_xml(module='app.ini', module_type='DEF'), 204),
        ]
        for label, local, code in cases:
            with self.subTest(label):
                self.assertFailure(self.check(local, remote_doc(remote_component())), code)

    def test_empty_url_fails_without_code(self):
        for local in (local_xml(url=''), local_xml(url=None), local_xml(url='   ')):
            report = self.check(local, remote_doc(remote_component()), code_start=77)
            self.assertFailure(report, 77)
        self.assertEqual(self.web.log(), [])

    def test_trusted_host(self):
        """The host must be at least 14 characters and end with ".ondrel.com.jp" exactly;
        an untrusted host is never asked."""
        cases = [
            ('http://ondrel.com.jp/update/info.xml', 107),
            ('http://www.example.com/update/info.xml', 108),
            ('http://xondrel.com.jp/update/info.xml', 108),
            ('http://www.ondrel.com.jp.example.net/update/info.xml', 108),
            ('http://www.Ondrel.com.jp/update/info.xml', 108),
        ]
        for url, code in cases:
            with self.subTest(url=url):
                self.assertFailure(self.check(local_xml(url=url), remote_doc(remote_component())),
                                   code)
                self.assertEqual(self.web.log(), [])

    def test_trusted_host_with_port_and_login(self):
        """Port and login are not part of the host name."""
        self.web.clear_routes()
        for url in ('http://%s:80/update/info.xml' % HOST,
                    'http://user:pw@%s/update/info.xml' % HOST,
                    'http://ondrel.com.jp@%s/update/info.xml' % HOST):
            with self.subTest(url=url):
                self.assertEntry(self.check(local_xml(url=url), remote_doc(remote_component())))

    def test_remote_document_codes(self):
        cases = [
            ('404', {'body': 'gone', 'status': 404}, 104),
            ('not XML', {'body': 'this is not XML <<<'}, 104),
            ('cut short', {'body': remote_doc(remote_component()), 'cut_after': 60}, 104),
            ('other root', {'body': '<Other>%s</Other>' % remote_component()}, 401),
            ('no components', {'body': remote_doc()}, 401),
            ('ID differs in case', {'body': remote_doc(remote_component(id=LOCAL_ID.lower()))}, 401),
            ('ID differs', {'body': remote_doc(remote_component(id='Other'))}, 401),
        ]
        for label, route, code in cases:
            with self.subTest(label):
                self.assertFailure(self.check(local_xml(), route=route), code)
                self.assertEqual(len(self.web.requests('/update/info.xml')), 1)

    def test_redirects_stay_in_the_trusted_domain(self):
        """A redirect to another trusted host is followed; one to a host outside the domain
        fails as a failed load (104), and that host is never asked."""
        mirror, foreign = 'mirror.ondrel.com.jp', 'updates.attacker.test'
        documents = [('/info.xml', dict(host=host, content_type='text/xml',
                                        body=remote_doc(remote_component(('4', '6', '1'), VersionString=host))))
                     for host in (mirror, foreign)]
        for target, expect in (('http://%s/info.xml' % mirror, None), ('http://%s/info.xml' % foreign, 104)):
            with self.subTest(target=target):
                report = self.check(local_xml(), route={'status': 302, 'headers': {'Location': target}},
                                    more_routes=documents)
                if expect is None:
                    self.assertEqual(self.assertEntry(report)['versionString'], mirror)
                else:
                    self.assertFailure(report, expect)
                    self.assertEqual({e['host'] for e in self.web.log()}, {HOST})

    def test_document_type_declarations_fail_as_malformed(self):
        """A DOCTYPE with an external DTD, an external entity naming a local file, a parameter
        entity or an entity bomb: 104, the DTD never asked for, the file's text nowhere."""
        self.prefix.app_dir('Secret', {'secret.txt': 'SECRET-TEXT-1234'})
        component = remote_component(('4', '6', '1'), Description='&x;')
        for doctype in ('<!DOCTYPE UpdateInfoBase SYSTEM "http://%s/evil.dtd">' % HOST,
                        '<!DOCTYPE UpdateInfoBase [<!ENTITY x SYSTEM "file:///C:/Secret/secret.txt">]>',
                        '<!DOCTYPE UpdateInfoBase [<!ENTITY %% p SYSTEM "http://%s/evil.dtd"> %%p;]>' % HOST,
                        '<!DOCTYPE UpdateInfoBase [<!ENTITY a "lol"><!ENTITY x "&a;&a;&a;&a;&a;&a;">]>'):
            with self.subTest(doctype=doctype[:50]):
                body = '<?xml version="1.0"?>\n%s<UpdateInfoBase>%s</UpdateInfoBase>' % (doctype, component)
                report = self.check(local_xml(), body,
                                    more_routes=[('/evil.dtd', dict(host=HOST, body='<!ENTITY x "FROM-DTD">'))])
                self.assertFailure(report, 104)
                self.assertNotIn('SECRET-TEXT', json.dumps(report))
                self.assertEqual(self.web.requests('/evil.dtd'), [])

    def test_slow_server_still_delivers(self):
        route = {'body': remote_doc(remote_component(('4', '6', '1'))), 'stall_before': 1,
                 'stall_during': 1}
        self.assertTrue(self.assertEntry(self.check(local_xml(), route=route))['newer'])

    def test_missing_remote_element_codes(self):
        """Each remote element, absent (or, for two of them, present but blank), ends the
        check with 301..310."""
        cases = [(element, 'absent', 301 + i) for i, element in enumerate(REMOTE_ORDER)]
        cases += [('VersionMajor', 'blank', 301), ('ID', 'blank', 310)]
        for element, how, code in cases:
            with self.subTest(element=element, how=how):
                comp = (remote_component(drop=(element,)) if how == 'absent' else
                        remote_component(**{element: '  '}))
                self.assertFailure(self.check(local_xml(), remote_doc(comp)), code)

    def test_earlier_incomplete_component_fails_check(self):
        """Two components: the first without FileMD5 and not the one sought, the second
        matching: 307."""
        report = self.check(local_xml(), remote_doc(
            remote_component(id='Other', drop=('FileMD5',)), remote_component(('4', '6', '1'))))
        self.assertFailure(report, 307)

    def test_document_object_missing(self):
        """Without the platform's DOM document class the first document cannot be created.
        The class registration is taken out for this one run and put back afterwards."""
        clsid = r'HKCR\CLSID\{F6D90F11-9C73-11D3-B32E-00C04F990BB4}'
        saved = self.prefix.scratch('.reg')
        self.assertEqual(self.prefix.wine(['reg', 'export', clsid, self.prefix.winpath(saved),
                                           '/y']).code, 0)
        self.assertTrue(self.prefix.reg_delete_key(clsid))
        try:
            report = self.check(local_xml(), remote_doc(remote_component()))
        finally:
            self.assertEqual(self.prefix.wine(['reg', 'import', self.prefix.winpath(saved)]).code, 0)
        self.assertFailure(report, 101)
        self.assertEqual(self.web.log(), [])
        # Back in place, the same check succeeds again.
        self.assertEntry(self.check(local_xml(), remote_doc(remote_component())))


if __name__ == '__main__':
    unittest.main()
