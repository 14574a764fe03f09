# The collection importable as ansible_collections.kalvoran.agents, as ansible-test and the
# controller see it, through a link in a temporary folder.
import atexit
import os
import shutil
import sys
import tempfile

COLLECTION = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROOT = tempfile.mkdtemp(prefix='kalvoran-collections-')
os.makedirs(os.path.join(ROOT, 'ansible_collections', 'kalvoran'))
os.symlink(COLLECTION, os.path.join(ROOT, 'ansible_collections', 'kalvoran', 'agents'))
sys.path.insert(0, ROOT)
atexit.register(shutil.rmtree, ROOT, True)
