"""The five processes holding the most dedicated GPU memory, with the gpuproc package.

    pip install gpuproc-*.whl      # built in python/ (see the README)
    python3 top_gpu_processes.py
"""
import gpuproc

records = gpuproc.get_all_gpu_data()  # one 100 ms reading of every GPU process; prints nothing
records.sort(key=lambda r: r.dedicated_mib or 0.0, reverse=True)
for record in records[:5]:
    busiest = max(record.engines.items(), key=lambda item: item[1] or 0.0, default=("-", None))
    print(f"{record.pid} {record.name}: {record.dedicated_mib or 0.0:.1f} MiB dedicated "
          f"on {record.adapter}, busiest engine {busiest[0]}")
