#include "veltaai/querygraph/querygraph_prompts.h"

// One string literal per template line, so that trailing blanks survive editors.
namespace veltaai::querygraph {

const std::string_view SQL_PREFIX =
    "\n"
    "<SQLAgent>\n"
    "  <Dialect>{dialect}</Dialect>\n"
    "  <Guidelines>\n"
    "    - Use correct syntax for {dialect}.\n"
    "    - Table names must match the database list exactly.\n"
    "    - No DML operations (INSERT, UPDATE, DELETE, DROP, etc.).\n"
    "    - Limit query results and avoid querying all columns where applicable.\n"
    "  </Guidelines>\n"
    "</SQLAgent>\n";

const std::string_view GET_RELEVANT_TABLE_NAMES_TEMPLATE =
    "\n"
    "  <context>\n"
    "    <user_question>{user_question}</user_question>\n"
    "    <table_names>{table_names_from_db}</table_names>\n"
    "  </context>\n";

const std::string_view TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE =
    "\n"
    "  <task>\n"
    "    Identify and return relevant table names from <table_names>. Ensure matching case. Format as JSON: \n"
    "    {\"relevant_tables\": [\"TABLE_NAME_1\", \"TABLE_NAME_2\"]}.\n"
    "  </task>\n";

const std::string_view REWRITE_QUESTION_TEMPLATE =
    "\n"
    "<context>\n"
    "  <user_question>{user_question}</user_question>\n"
    "  <database_info>\n"
    "      <schemas_database>\n"
    "        {schemas_from_all_tables}\n"
    "      </schemas_database>\n"
    "  </database_info>\n"
    "</context>\n"
    "<task>\n"
    " Rewrite this question by adapting database information. Enclose the rewritten question in <rewritten_question> tags.\n"
    "</task>\n";

const std::string_view GENERATE_SQL_TEMPLATE =
    "\n"
    "  <context>\n"
    "    <user_question>{user_question}</user_question>\n"
    "\n"
    "    <database_info>\n"
    "      <schemas_database>\n"
    "        {schemas_from_relevant_tables}\n"
    "      </schemas_database>\n"
    "    </database_info>\n"
    "\n"
    "  </context>\n"
    "\n"
    "  <task>\n"
    "    Generate a SQL query for the user's question. Enclose the query in <sql_query> tags.\n"
    "    Do not return anything other than the sql query in <sql_query> tags.\n"
    "    The questions asking for trends/forecasting will need you to reason highly, deal with errors such as incorrect date formatting since you are an intelligent agent.\n"
    "  </task>\n";

const std::string_view CORRECT_SQL_TEMPLATE =
    "\n"
    "<context>\n"
    "  <user_question>{{ user_question }}</user_question>\n"
    "\n"
    "  <database_info>\n"
    "    <schemas_database>\n"
    "        {{ schemas_from_relevant_tables }}\n"
    "    </schemas_database>\n"
    "  </database_info>\n"
    "\n"
    "  <sql_context>\n"
    "    {% for query, error in zipped_queries_errors %}\n"
    "      <query_execution_pair>\n"
    "        <query index=\"{{ loop.index }}\">\n"
    "          {{ query }}\n"
    "        </query>\n"
    "        <error index=\"{{ loop.index }}\">\n"
    "          {{ error }}\n"
    "        </error>\n"
    "      </query_execution_pair>\n"
    "    {% endfor %}\n"
    "  </sql_context>\n"
    "</context>\n"
    "\n"
    "<task>\n"
    "  <sql_analysis>\n"
    "    Analyze the SQL queries and respective errors provided in the <sql_context> section.\n"
    "    Use the indexed pairs to identify the most likely cause of each error and reason briefly about how to fix it.\n"
    "  </sql_analysis>\n"
    "  <sql_correction>\n"
    "    Based on the analysis, correct the SQL query.\n"
    "    Use your reasoning from the <sql_analysis> to make specific adjustments.\n"
    "    Enclose the query in <sql_query> tags.\n"
    "  </sql_correction>\n"
    "</task>\n";

const std::string_view PANDAS_SYSTEM_TEMPLATE =
    "\"\n"
    "You are an pandas assistant code. \n"
    "Use this script for filling None/Na value.\n"
    "```\n"
    "def fillna_based_on_dtype(df):\n"
    "    for column in df.columns:\n"
    "        if pd.api.types.is_numeric_dtype(df[column]):\n"
    "            df[column] = df[column].fillna(0)  # Example: fill numeric with mean\n"
    "        elif pd.api.types.is_categorical_dtype(df[column]) or df[column].dtype == object:\n"
    "            df[column] = df[column].fillna(\"\")  # Example: fill categorical with mode\n"
    "        elif pd.api.types.is_bool_dtype(df[column]):\n"
    "            df[column] = df[column].fillna(False)  # Example: fill boolean with False\n"
    "    return df\n"
    "```\n"
    "Remember when dealing with Decimal (from execution result), treat them as float values.\n"
    "The following modules are already installed and you can utilise them for questions that require\n"
    "your creativity: # The agents default modules are :[\"matplotlib\", \"scikit-learn\", \"numpy\", \"statsmodels\", \"pandas\",\n"
    "\"scipy\", \"datetime\", \"decimal\"]\n"
    "When using matplotlib dont show the graph instead save it in {{ save_path }} - matplotlib code should\n"
    "create this directory if doesnt exist-  in the current base directory. When you generate\n"
    "a graph label it well, and metion you generate a graph and return the path to saved graph in your final\n"
    "response.\n"
    "\n"
    "The only allowed file types you can generate are images(so if you generate a table e.g it has to be in image\n"
    "format). The questions asking for trends/forecasting will need you to reason highly, deal with \n"
    "errors such as incorrect date formatting since you are an intelligent ag\n"
    "ent.\n"
    "Remember to include from decimal import Decimal at beginning code block.\n";

const std::string_view PANDAS_HUMAN_TEMPLATE =
    "\n"
    "<context>\n"
    "    <original_question>{{ original_question }}</original_question>\n"
    "    <sql_context>\n"
    "      {% for query, execution_result in zipped_queries_results %}\n"
    "          <query index=\"{{ loop.index }}\">\n"
    "            {{ query }}\n"
    "          </query>\n"
    "          <execution_result index=\"{{ loop.index }}\">\n"
    "            {{ execution_result }}\n"
    "          </execution_result>\n"
    "      {% endfor %}\n"
    "    </sql_context>\n"
    "</context>\n";

}  // namespace veltaai::querygraph
