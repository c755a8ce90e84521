"""The simulated package system behind the stand-in: repositories, installed packages, the
packages each release offers per repository, and the scenario (timing, faults, foreign
transactions). It knows nothing of D-Bus; the service turns its answers into signals."""

import copy
import re

from . import enums

SIZE_QUERY_PREFIX = 'ext::query-sizes:'
DATA_REPO_ENTRY = 'ext::data:repo'
PSEUDO_DOWNLOAD = '::DOWNLOAD'
PSEUDO_INSTALL = '::INSTALL'
PSEUDO_REMOVE = '::REMOVE'

DEFAULT_DURATIONS = {
    'default': 0.05,   # every role not listed
    'download': 2.0,   # the download phase of a real (not simulated) upgrade
    'install': 0.5,    # the install phase of a complete upgrade
    'cancel': 1.5,     # from Cancel() to Finished(cancelled) of a running transaction
    'destroy': 5.0,    # from Finished to Destroy and the object leaving the bus
}

# The role methods served; each may have its own duration.
ROLE_METHODS = ('UpgradeSystem', 'RefreshCache', 'Resolve', 'GetDetails', 'GetRepoList',
                'RepoEnable')

STATE_KEYS = ('release', 'release_file', 'repositories', 'installed', 'releases', 'durations',
              'faults', 'foreign', 'downloaded')


class ScenarioError(ValueError):
    """A state document that does not describe a package system."""


class Failure(Exception):
    """Ends a transaction with ErrorCode(error, details) and Finished(exit)."""

    def __init__(self, error, details, exit_code=enums.EXIT['Failed']):
        super().__init__(details)
        self.error = error
        self.details = details
        self.exit_code = exit_code


def _fail(where, message):
    raise ScenarioError(f'{where}: {message}')


def _expect(where, value, types, what):
    types = types if isinstance(types, tuple) else (types,)
    if not isinstance(value, types) or (isinstance(value, bool) and bool not in types):
        _fail(where, f'expected {what}')
    return value


def _seconds(where, value):
    _expect(where, value, (int, float), 'a number of seconds')
    if value < 0:
        _fail(where, 'must not be negative')
    return float(value)


def _count(where, value):
    _expect(where, value, int, 'a whole number')
    if value < 0:
        _fail(where, 'must not be negative')
    return value


def _check_keys(where, obj, allowed):
    unknown = sorted(set(obj) - set(allowed))
    if unknown:
        _fail(where, f'unknown key(s) {", ".join(unknown)}')


def _regex(where, value):
    _expect(where, value, str, 'a regular expression')
    try:
        return re.compile(value)
    except re.error as error:
        _fail(where, f'bad regular expression: {error}')


def _enum(where, table, kind, value):
    try:
        return enums.lookup(table, kind, value)
    except ValueError as error:
        _fail(where, str(error))


class Package:
    """One package; `repo` is the repository it comes from (for an installed one, the
    repository it was installed from)."""

    def __init__(self, name, version, arch, repo, summary='', size=0, installed_size=0):
        self.name = name
        self.version = version
        self.arch = arch
        self.repo = repo
        self.summary = summary
        self.size = size
        self.installed_size = installed_size

    def package_id(self, data=None):
        return ';'.join((self.name, self.version, self.arch, self.repo if data is None else data))

    def nva(self):
        return (self.name, self.version, self.arch)

    @classmethod
    def parse(cls, where, entry, repo=None):
        """`repo` None: an installed package, whose id names its repository in the fourth field.
        Otherwise a package of that repository, with three fields or a fourth equal to it."""
        if isinstance(entry, str):
            entry = {'id': entry}
        _expect(where, entry, dict, 'a package id or an object with "id"')
        _check_keys(where, entry, ('id', 'summary', 'size', 'installed_size'))
        pid = _expect(where + '.id', entry.get('id'), str, 'a package id')
        fields = pid.split(';')
        if repo is None:
            if len(fields) != 4:
                _fail(where, f'{pid!r}: an installed package is name;version;arch;repository')
            repo = fields[3]
        elif len(fields) == 4 and fields[3] != repo:
            _fail(where, f'{pid!r} is listed under repository {repo!r}')
        elif len(fields) not in (3, 4):
            _fail(where, f'{pid!r}: expected name;version;arch')
        if not fields[0] or not fields[1]:
            _fail(where, f'{pid!r}: name and version must not be empty')
        return cls(fields[0], fields[1], fields[2], repo,
                   _expect(where + '.summary', entry.get('summary', ''), str, 'a string'),
                   _count(where + '.size', entry.get('size', 0)),
                   _count(where + '.installed_size', entry.get('installed_size', 0)))

    def to_json(self, with_repo):
        pid = self.package_id() if with_repo else ';'.join(self.nva())
        extra = {key: value for key, value in (('summary', self.summary), ('size', self.size),
                                               ('installed_size', self.installed_size)) if value}
        return dict(id=pid, **extra) if extra else pid


class Repository:
    def __init__(self, repo_id, description, enabled):
        self.id = repo_id
        self.description = description
        self.enabled = enabled


class Release:
    def __init__(self, where, release):
        _expect(where, release, dict, 'an object')
        _check_keys(where, release, ('packages', 'adds', 'obsoletes', 'sizes'))
        self.packages = {}
        packages = _expect(where + '.packages', release.get('packages', {}), dict, 'an object')
        for repo, entries in packages.items():
            here = f'{where}.packages.{repo}'
            _expect(here, entries, list, 'a list of packages')
            self.packages[repo] = [Package.parse(f'{here}[{i}]', e, repo)
                                   for i, e in enumerate(entries)]
        self.adds = self._names(where + '.adds', release.get('adds', []))
        self.obsoletes = self._names(where + '.obsoletes', release.get('obsoletes', []))
        sizes = _expect(where + '.sizes', release.get('sizes', {}), dict, 'an object')
        _check_keys(where + '.sizes', sizes, ('download', 'install', 'remove'))
        self.sizes = {key: _count(f'{where}.sizes.{key}', value) for key, value in sizes.items()}

    @staticmethod
    def _names(where, value):
        _expect(where, value, list, 'a list of package names')
        return [_expect(f'{where}[{i}]', name, str, 'a package name') for i, name in
                enumerate(value)]

    def to_json(self):
        out = {'packages': {repo: [p.to_json(False) for p in pkgs]
                            for repo, pkgs in self.packages.items()}}
        if self.adds:
            out['adds'] = list(self.adds)
        if self.obsoletes:
            out['obsoletes'] = list(self.obsoletes)
        if self.sizes:
            out['sizes'] = dict(self.sizes)
        return out


class Fault:
    """Makes matching calls fail, `times` times or always (None)."""

    def __init__(self, where, fault):
        _expect(where, fault, dict, 'an object')
        _check_keys(where, fault, ('match', 'error', 'details', 'exit', 'times', 'at_percent'))
        if 'match' not in fault:
            _fail(where, '"match" is required')
        self.match = _regex(where + '.match', fault['match'])
        self.error = _enum(where + '.error', enums.ERROR, 'Error',
                           fault.get('error', 'TransactionError'))
        self.details = _expect(where + '.details', fault.get('details', 'Simulated failure'), str,
                               'a string')
        self.exit_code = _enum(where + '.exit', enums.EXIT, 'Exit', fault.get('exit', 'Failed'))
        times = fault.get('times')
        self.times = None if times is None else _count(where + '.times', times)
        at = fault.get('at_percent')
        self.at_percent = None if at is None else _count(where + '.at_percent', at)
        if self.at_percent is not None and self.at_percent > 100:
            _fail(where + '.at_percent', 'must be at most 100')

    def take(self, line):
        if self.times == 0 or not self.match.search(line):
            return False
        if self.times is not None:
            self.times -= 1
        return True

    def failure(self):
        return Failure(self.error, self.details, self.exit_code)

    def to_json(self):
        out = {'match': self.match.pattern, 'error': enums.ERRORS[self.error],
               'details': self.details, 'exit': enums.EXITS[self.exit_code]}
        if self.times is not None:
            out['times'] = self.times
        if self.at_percent is not None:
            out['at_percent'] = self.at_percent
        return out


class Foreign:
    """Another client's transaction that shows up `after` seconds into a running transaction
    that matches `during` (by default a real, not simulated, upgrade) and runs `duration`."""

    def __init__(self, where, foreign):
        _expect(where, foreign, dict, 'an object')
        _check_keys(where, foreign, ('role', 'during', 'after', 'duration', 'parallel', 'times'))
        if 'role' not in foreign:
            _fail(where, '"role" is required')
        self.role = _enum(where + '.role', enums.ROLE, 'Role', foreign['role'])
        during = foreign.get('during')
        self.during = None if during is None else _regex(where + '.during', during)
        self.after = _seconds(where + '.after', foreign.get('after', 0.5))
        self.duration = _seconds(where + '.duration', foreign.get('duration', 1.0))
        self.parallel = _expect(where + '.parallel', foreign.get('parallel', False), bool,
                                'true or false')
        self.times = _count(where + '.times', foreign.get('times', 1))

    def matches(self, line, downloads):
        if self.times == 0 or line is None:
            return False
        return bool(self.during.search(line)) if self.during else downloads

    def to_json(self):
        out = {'role': enums.ROLES[self.role], 'after': self.after, 'duration': self.duration,
               'parallel': self.parallel, 'times': self.times}
        if self.during:
            out['during'] = self.during.pattern
        return out


class Plan:
    """What an upgrade to the configuration package would do in the current release."""

    def __init__(self, updating, installing, removing, replaced, sizes):
        self.updating = updating
        self.installing = installing
        self.removing = removing
        self.replaced = replaced
        self.download_size = sizes.get('download', sum(p.size for p in updating + installing))
        self.install_size = sizes.get('install',
                                      sum(p.installed_size for p in updating + installing))
        self.remove_size = sizes.get('remove',
                                     sum(p.installed_size for p in replaced + removing))

    def downloads(self):
        return self.updating + self.installing


def read_ini_release(path):
    """The `release` key of the [General] section of an SSU configuration file, or None."""
    try:
        with open(path, encoding='utf-8') as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    section = 'General'
    release = None
    for line in lines:
        line = line.strip()
        if not line or line[0] in '#;':
            continue
        if line.startswith('[') and line.endswith(']'):
            section = line[1:-1].strip()
            continue
        key, sep, value = line.partition('=')
        if sep and section == 'General' and key.strip() == 'release':
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] == '"':
                value = value[1:-1]
            release = value
    return release


class PackageSystem:
    def __init__(self, state=None):
        state = {} if state is None else state
        _expect('state', state, dict, 'a JSON object')
        _check_keys('state', state, STATE_KEYS)
        self.release = _expect('release', state.get('release', ''), str, 'a string')
        release_file = state.get('release_file')
        self.release_file = (None if release_file is None else
                             _expect('release_file', release_file, str, 'a path'))

        self.repositories = []
        for i, repo in enumerate(_expect('repositories', state.get('repositories', []), list,
                                         'a list')):
            where = f'repositories[{i}]'
            _expect(where, repo, dict, 'an object')
            _check_keys(where, repo, ('id', 'description', 'enabled'))
            repo_id = _expect(where + '.id', repo.get('id'), str, 'a repository id')
            if not repo_id or any(r.id == repo_id for r in self.repositories):
                _fail(where + '.id', f'{repo_id!r} is empty or given twice')
            self.repositories.append(Repository(
                repo_id,
                _expect(where + '.description', repo.get('description', repo_id), str, 'a string'),
                _expect(where + '.enabled', repo.get('enabled', True), bool, 'true or false')))

        self.installed = [Package.parse(f'installed[{i}]', e) for i, e in
                          enumerate(_expect('installed', state.get('installed', []), list,
                                            'a list'))]
        names = [p.name for p in self.installed]
        if len(set(names)) != len(names):
            _fail('installed', 'a package name is given twice')

        releases = _expect('releases', state.get('releases', {}), dict, 'an object')
        self.releases = {name: Release(f'releases.{name}', release)
                         for name, release in releases.items()}

        durations = _expect('durations', state.get('durations', {}), dict, 'an object')
        _check_keys('durations', durations, tuple(DEFAULT_DURATIONS) + ROLE_METHODS)
        self.durations = dict(DEFAULT_DURATIONS)
        for key, value in durations.items():
            self.durations[key] = _seconds(f'durations.{key}', value)

        self.faults = [Fault(f'faults[{i}]', fault) for i, fault in
                       enumerate(_expect('faults', state.get('faults', []), list, 'a list'))]
        self.foreign = [Foreign(f'foreign[{i}]', foreign) for i, foreign in
                        enumerate(_expect('foreign', state.get('foreign', []), list, 'a list'))]
        self.downloaded = [_expect(f'downloaded[{i}]', pid, str, 'a package id') for i, pid in
                           enumerate(_expect('downloaded', state.get('downloaded', []), list,
                                             'a list'))]

    def to_json(self):
        return {
            'release': self.release,
            **({'release_file': self.release_file} if self.release_file else {}),
            'repositories': [{'id': r.id, 'description': r.description, 'enabled': r.enabled}
                             for r in self.repositories],
            'installed': [p.to_json(True) for p in self.installed],
            'releases': {name: rel.to_json() for name, rel in self.releases.items()},
            'durations': dict(self.durations),
            'faults': [f.to_json() for f in self.faults],
            'foreign': [f.to_json() for f in self.foreign],
            'downloaded': list(self.downloaded),
        }

    def configured(self, changes):
        """A new system with the top-level keys of `changes` replaced and the rest kept."""
        _expect('state', changes, dict, 'a JSON object')
        state = copy.deepcopy(self.to_json())
        state.update(changes)
        return PackageSystem(state)

    def duration(self, key):
        return self.durations.get(key, self.durations['default'])

    def current_release(self):
        if self.release_file:
            release = read_ini_release(self.release_file)
            if release:
                return release
        return self.release

    def take_fault(self, line):
        for fault in self.faults:
            if fault.take(line):
                return fault
        return None

    def _repository(self, repo_id):
        return next((r for r in self.repositories if r.id == repo_id), None)

    def _offered(self):
        """(repository, package) of the enabled repositories in the current release, in the
        order of the repository list."""
        release = self.releases.get(self.current_release())
        if release is None:
            return []
        return [(repo, pkg) for repo in self.repositories if repo.enabled
                for pkg in release.packages.get(repo.id, [])]

    def _newest_offered(self):
        # The first repository of the list that offers a name wins, as a repository priority.
        offered = {}
        for _, pkg in self._offered():
            offered.setdefault(pkg.name, pkg)
        return offered

    def plan(self, configuration):
        release_name = self.current_release()
        offered = self._newest_offered()
        if configuration not in offered:
            raise Failure(enums.ERROR['PackageNotFound'],
                          f'{configuration} is not offered by the enabled repositories of '
                          f'release {release_name or "(none)"}')
        release = self.releases[release_name]
        installed = {p.name: p for p in self.installed}
        removing = [installed[n] for n in release.obsoletes if n in installed]
        gone = {p.name for p in removing}
        updating, replaced = [], []
        for old in self.installed:
            new = offered.get(old.name)
            if new and old.name not in gone and new.version != old.version:
                updating.append(new)
                replaced.append(old)
        installing = []
        for name in [configuration] + release.adds:
            if name in installed or any(p.name == name for p in installing):
                continue
            if name not in offered:
                raise Failure(enums.ERROR['DepResolutionFailed'],
                              f'nothing provides {name} needed by {configuration}')
            installing.append(offered[name])
        return Plan(updating, installing, removing, replaced, release.sizes)

    def apply(self, plan):
        """Carries out an upgrade: the installed list takes the new versions."""
        gone = {p.name for p in plan.removing}
        new = {p.name: p for p in plan.downloads()}
        self.installed = [new.pop(p.name, p) for p in self.installed if p.name not in gone]
        self.installed += list(new.values())

    def record_download(self, packages):
        for pkg in packages:
            pid = pkg.package_id()
            if pid not in self.downloaded:
                self.downloaded.append(pid)

    def resolve(self, names, filters):
        """(info, package id, summary) for each name; the entry ext::data:repo makes installed
        packages name their repository in the data field instead of "installed"."""
        data_repo = DATA_REPO_ENTRY in names
        want_installed = not filters & enums.FILTER_NOT_INSTALLED
        want_available = not filters & enums.FILTER_INSTALLED
        installed = {p.name: p for p in self.installed}
        offered = self._offered()
        found = []
        for name in names:
            if name == DATA_REPO_ENTRY:
                continue
            mine = installed.get(name)
            if mine and want_installed:
                found.append((enums.INFO_INSTALLED,
                              mine.package_id(mine.repo if data_repo else 'installed'),
                              mine.summary))
            if want_available:
                found += [(enums.INFO_AVAILABLE, pkg.package_id(), pkg.summary)
                          for _, pkg in offered
                          if pkg.name == name and not (mine and mine.nva() == pkg.nva())]
        return found

    def details(self, package_id):
        fields = package_id.split(';')
        if len(fields) == 4:
            for pkg in self.installed:
                if pkg.nva() == tuple(fields[:3]):
                    return pkg
            for repo, pkg in self._offered():
                if pkg.nva() == tuple(fields[:3]) and fields[3] in ('', repo.id):
                    return pkg
        raise Failure(enums.ERROR['PackageNotFound'], f'Package {package_id} not found')

    def enable_repository(self, repo_id, enabled):
        repo = self._repository(repo_id)
        if repo is None:
            raise Failure(enums.ERROR['RepoNotFound'], f'Repository {repo_id} not found')
        repo.enabled = enabled
